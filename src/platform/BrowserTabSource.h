#pragma once

#include <QString>
#include <functional>
#include <optional>

struct FrontApplication;

// Where the address of the browser tab in front comes from on a desktop whose browsers cannot be
// scripted: our extension's reports. Main thread only.
class BrowserTabSource {
public:
    virtual ~BrowserTabSource() = default;

    // The address the front window shows, when it is a supported browser's window and a report
    // vouches for it; nothing otherwise. Reads kept state: no process, no round trip.
    virtual std::optional<QString> address(const FrontApplication& front) = 0;

    // Called on the main thread when a report arrives, so the address follows the tab at once
    // rather than at the next sample.
    std::function<void()> onReport;

protected:
    void notifyReport() {
        if (onReport)
            onReport();
    }
};
