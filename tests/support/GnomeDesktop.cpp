#include "GnomeDesktop.h"

#include <QFile>
#include <sys/prctl.h>

GnomeDesktop::GnomeDesktop(const std::string& shellVersions) {
    // The buses start services (dconf, accessibility) that outlive them by a moment: adopt them
    // so they are reaped here rather than left as zombies.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    m_ready = startScript("start_gnome '" VANTOR_BUILD_DIR "' '" +
                          QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toStdString() +
                          "' '" + shellVersions + "'");
}

bool GnomeDesktop::setExtensionEnabled(bool enabled) const {
    return runProgram({"gsettings", "set", "org.gnome.shell", "enabled-extensions",
                       enabled
                           ? "['vantor-test-helper@keyloft.com', 'vantor-companion@keyloft.com']"
                           : "['vantor-test-helper@keyloft.com']"}) == 0;
}
