// The test client window: a witness for titles, WM_CLASS, focus and key events.
// test-client --title T --instance I --class C --log FILE [--legacy-title 1] [--pid N]

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    std::map<std::string, std::string> options{{"--log", "/dev/null"}};
    for (int i = 1; i + 1 < argc; i += 2)
        options[argv[i]] = argv[i + 1];
    std::string& title = options["--title"];
    std::setlocale(LC_ALL, "C.UTF-8");
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 2;
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0xffffff);
    if (options.count("--legacy-title")) {
        // What xterm does: WM_NAME only, in COMPOUND_TEXT for a title beyond Latin-1.
        char* list[] = {title.data()};
        XTextProperty property{};
        Xutf8TextListToTextProperty(display, list, 1, XCompoundTextStyle, &property);
        XSetWMName(display, window, &property);
        XFree(property.value);
    } else {
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                        XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(title.data()),
                        static_cast<int>(title.size()));
    }
    XClassHint hint{options["--instance"].data(), options["--class"].data()};
    XSetClassHint(display, window, &hint);
    // --pid claims another process's id, as any program may write there.
    const long pid = options.count("--pid") ? std::stol(options["--pid"]) : getpid();
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    XSelectInput(display, window, KeyPressMask | StructureNotifyMask | FocusChangeMask);
    XMapWindow(display, window);
    XFlush(display);

    FILE* out = std::fopen(options["--log"].c_str(), "a");
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        } else if (event.type == ClientMessage &&
                   static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) {
            break;
        } else if (event.type == KeyPress) {
            KeySym keysym = NoSymbol;
            char text[16];
            XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
            if (IsModifierKey(keysym) || !out)
                continue;
            std::fprintf(out, "0x%lx %u\n", keysym, event.xkey.state);
            std::fflush(out);
        }
    }
    if (out)
        std::fclose(out);
    XCloseDisplay(display);
    return 0;
}
