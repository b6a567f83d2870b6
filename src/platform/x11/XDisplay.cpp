#include "XDisplay.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/res.h>

namespace {

template <typename T> struct FreeDeleter {
    void operator()(T* pointer) const { std::free(pointer); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter<T>>;

std::string propertyBytes(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 8)
        return {};
    const auto* data = static_cast<const char*>(xcb_get_property_value(reply));
    return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
}

// Latin-1 (the STRING type) to UTF-8.
std::string latin1ToUtf8(const std::string& bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

xcb_get_property_cookie_t getProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                                      xcb_atom_t type = XCB_GET_PROPERTY_TYPE_ANY) {
    return xcb_get_property(c, 0, window, property, type, 0, 4096);
}

} // namespace

XDisplay::~XDisplay() {
    close();
}

void XDisplay::close() {
    if (m_ewmhReady)
        xcb_ewmh_connection_wipe(&m_ewmh);
    m_ewmhReady = false;
    if (m_connection)
        xcb_disconnect(m_connection);
    m_connection = nullptr;
    m_root = XCB_NONE;
}

bool XDisplay::open() {
    if (m_connection && !xcb_connection_has_error(m_connection))
        return true;
    close();
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        m_error = "No X display: DISPLAY is not set";
        return false;
    }
    m_connection = xcb_connect(display, &m_screen);
    if (xcb_connection_has_error(m_connection)) {
        m_error = std::string("Cannot open X display ") + display;
        close();
        return false;
    }
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < m_screen && screens.rem; ++i)
        xcb_screen_next(&screens);
    m_root = screens.data->root;

    // The EWMH atoms, our two extra atoms, all interned in one round trip.
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(m_connection, &m_ewmh);
    const auto gtkCookie = xcb_intern_atom(m_connection, 0, 18, "_GTK_APPLICATION_ID");
    const auto ctCookie = xcb_intern_atom(m_connection, 0, 13, "COMPOUND_TEXT");
    m_ewmhReady = xcb_ewmh_init_atoms_replies(&m_ewmh, cookies, nullptr) != 0;
    XcbReply<xcb_intern_atom_reply_t> gtk(xcb_intern_atom_reply(m_connection, gtkCookie, nullptr));
    XcbReply<xcb_intern_atom_reply_t> ct(xcb_intern_atom_reply(m_connection, ctCookie, nullptr));
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(m_connection, &xcb_res_id);
    m_hasRes = res && res->present;
    m_gtkApplicationId = gtk ? gtk->atom : XCB_NONE;
    m_compoundText = ct ? ct->atom : XCB_NONE;
    if (!m_ewmhReady) {
        m_error = std::string("Cannot read the window manager atoms of display ") + display;
        close();
        return false;
    }
    return true;
}

bool XDisplay::hasWindowManager() {
    xcb_window_t check = XCB_NONE;
    if (!xcb_ewmh_get_supporting_wm_check_reply(
            &m_ewmh, xcb_ewmh_get_supporting_wm_check(&m_ewmh, m_root), &check, nullptr))
        return false;
    return check != XCB_NONE;
}

std::optional<xcb_window_t> XDisplay::activeWindow() {
    xcb_window_t window = XCB_NONE;
    if (!xcb_ewmh_get_active_window_reply(&m_ewmh, xcb_ewmh_get_active_window(&m_ewmh, m_screen),
                                          &window, nullptr) ||
        window == XCB_NONE || window == m_root)
        return std::nullopt;
    return window;
}

std::vector<xcb_window_t> XDisplay::clientList() {
    xcb_ewmh_get_windows_reply_t list{};
    if (!xcb_ewmh_get_client_list_reply(&m_ewmh, xcb_ewmh_get_client_list(&m_ewmh, m_screen), &list,
                                        nullptr))
        return {};
    std::vector<xcb_window_t> windows(list.windows, list.windows + list.windows_len);
    xcb_ewmh_get_windows_reply_wipe(&list);
    return windows;
}

std::optional<WindowIdentity> XDisplay::identity(xcb_window_t window) {
    xcb_connection_t* c = m_connection;
    const auto gtk = getProperty(c, window, m_gtkApplicationId);
    const auto wmClass = getProperty(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
    const auto pid = getProperty(c, window, m_ewmh._NET_WM_PID, XCB_ATOM_CARDINAL);
    // The process behind the window as the server knows it: _NET_WM_PID is whatever a program
    // wrote there, and a program that names a browser's pid must not speak for that browser.
    const xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    const auto client =
        m_hasRes ? xcb_res_query_client_ids(c, 1, &spec) : xcb_res_query_client_ids_cookie_t{};

    XcbReply<xcb_get_property_reply_t> gtkReply(xcb_get_property_reply(c, gtk, nullptr));
    XcbReply<xcb_get_property_reply_t> classReply(xcb_get_property_reply(c, wmClass, nullptr));
    XcbReply<xcb_get_property_reply_t> pidReply(xcb_get_property_reply(c, pid, nullptr));
    XcbReply<xcb_res_query_client_ids_reply_t> clientReply(
        m_hasRes ? xcb_res_query_client_ids_reply(c, client, nullptr) : nullptr);
    if (!gtkReply || !classReply || !pidReply)
        return std::nullopt; // BadWindow: it closed between the samples

    WindowIdentity identity;
    identity.gtkApplicationId = propertyBytes(gtkReply.get());
    const std::string classBytes = propertyBytes(classReply.get());
    const auto nul = classBytes.find('\0');
    identity.wmInstance = classBytes.substr(0, nul);
    if (nul != std::string::npos) {
        const std::string rest = classBytes.substr(nul + 1);
        identity.wmClass = rest.substr(0, rest.find('\0'));
    }
    if (m_hasRes) {
        // A client on another machine has no local pid: none, rather than the one it claims.
        for (auto ids = xcb_res_query_client_ids_ids_iterator(clientReply.get());
             clientReply && ids.rem; xcb_res_client_id_value_next(&ids))
            if ((ids.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
                xcb_res_client_id_value_value_length(ids.data) == 1)
                identity.pid = *xcb_res_client_id_value_value(ids.data);
    } else if (pidReply->format == 32 && xcb_get_property_value_length(pidReply.get()) >= 4) {
        identity.pid = *static_cast<const uint32_t*>(xcb_get_property_value(pidReply.get()));
    }
    return identity;
}

std::optional<std::string> XDisplay::title(xcb_window_t window) {
    xcb_connection_t* c = m_connection;
    const auto netName = getProperty(c, window, m_ewmh._NET_WM_NAME, m_ewmh.UTF8_STRING);
    const auto wmName = getProperty(c, window, XCB_ATOM_WM_NAME);
    XcbReply<xcb_get_property_reply_t> netReply(xcb_get_property_reply(c, netName, nullptr));
    XcbReply<xcb_get_property_reply_t> wmReply(xcb_get_property_reply(c, wmName, nullptr));
    if (!netReply || !wmReply)
        return std::nullopt;
    if (netReply->type == m_ewmh.UTF8_STRING)
        return propertyBytes(netReply.get());
    const std::string bytes = propertyBytes(wmReply.get());
    if (wmReply->type == m_ewmh.UTF8_STRING)
        return bytes;
    if (wmReply->type == XCB_ATOM_STRING)
        return latin1ToUtf8(bytes);
    if (wmReply->type == m_compoundText && m_compoundText != XCB_NONE) {
        const char* display = std::getenv("DISPLAY");
        return compoundTextToUtf8(display ? display : "", bytes);
    }
    return std::string();
}

bool XDisplay::isVisibleNormal(xcb_window_t window) {
    xcb_connection_t* c = m_connection;
    const auto attributes = xcb_get_window_attributes(c, window);
    const auto type = xcb_ewmh_get_wm_window_type(&m_ewmh, window);
    const auto state = xcb_ewmh_get_wm_state(&m_ewmh, window);

    XcbReply<xcb_get_window_attributes_reply_t> attributesReply(
        xcb_get_window_attributes_reply(c, attributes, nullptr));
    xcb_ewmh_get_atoms_reply_t types{};
    const bool hasType = xcb_ewmh_get_wm_window_type_reply(&m_ewmh, type, &types, nullptr);
    xcb_ewmh_get_atoms_reply_t states{};
    const bool hasState = xcb_ewmh_get_wm_state_reply(&m_ewmh, state, &states, nullptr);

    bool normal = !hasType;
    if (hasType) {
        for (uint32_t i = 0; i < types.atoms_len; ++i)
            normal = normal || types.atoms[i] == m_ewmh._NET_WM_WINDOW_TYPE_NORMAL;
        xcb_ewmh_get_atoms_reply_wipe(&types);
    }
    bool hidden = false;
    if (hasState) {
        for (uint32_t i = 0; i < states.atoms_len; ++i)
            hidden = hidden || states.atoms[i] == m_ewmh._NET_WM_STATE_HIDDEN;
        xcb_ewmh_get_atoms_reply_wipe(&states);
    }
    // Openbox maps the frame, not the client, when it iconifies: the client's own map state
    // and the hidden state together say whether the user sees it.
    return attributesReply && attributesReply->map_state == XCB_MAP_STATE_VIEWABLE && normal &&
           !hidden;
}

void XDisplay::requestClose(xcb_window_t window) {
    xcb_ewmh_request_close_window(&m_ewmh, m_screen, window, XCB_CURRENT_TIME,
                                  XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
}

bool XDisplay::sync() {
    XcbReply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    return reply != nullptr;
}

std::string compoundTextToUtf8(const std::string& displayName, const std::string& bytes) {
    // Xlib converts through the locale's tables; a UTF-8 locale reaches every charset.
    const char* previous = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        return {};
    std::string result;
    if (Display* display = XOpenDisplay(displayName.c_str())) {
        XTextProperty property{};
        property.value = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()));
        property.encoding = XInternAtom(display, "COMPOUND_TEXT", False);
        property.format = 8;
        property.nitems = bytes.size();
        char** list = nullptr;
        int count = 0;
        if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= 0 && list) {
            for (int i = 0; i < count; ++i)
                result += list[i];
            XFreeStringList(list);
        }
        XCloseDisplay(display);
    }
    std::setlocale(LC_CTYPE, saved.c_str());
    return result;
}
