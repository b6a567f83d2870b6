// Tests only: a headless Shell starts in the overview, which holds the keyboard focus; this
// leaves it, and lets tests and benchmarks focus a window by its app id, read and choose from
// the agent's top-bar menu as the user would, and take a picture of the screen. Written without
// `imports` and `import` so both forms of the extension load this same text: each entry file
// hands in the libraries it loaded its own way.
const INTERFACE_XML = `<node><interface name="com.keyloft.VantorCompanion.TestHelper">
  <method name="Activate"><arg type="s" name="appId" direction="in"/>
    <arg type="b" name="found" direction="out"/></method>
  <method name="MenuEntries"><arg type="a(sbb)" name="entries" direction="out"/></method>
  <method name="ChooseEntry"><arg type="s" name="title" direction="in"/>
    <arg type="b" name="found" direction="out"/></method>
  <method name="CallAgent"><arg type="s" name="agent" direction="in"/>
    <arg type="u" name="id" direction="in"/><arg type="s" name="error" direction="out"/></method>
  <method name="Screenshot"><arg type="s" name="path" direction="in"/>
    <arg type="b" name="openMenu" direction="in"/></method>
</interface></node>`;

var TestHelper = class {
    constructor(lib) {
        this._lib = lib;
    }

    enable() {
        const {Gio, Main} = this._lib;
        if (Main.layoutManager._startingUp)
            this._startId = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        else
            Main.overview.hide();
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        this._object.export(Gio.DBus.session, '/com/keyloft/VantorCompanion/TestHelper');
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session,
            'com.keyloft.VantorCompanion.TestHelper', Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        const {Gio, Main} = this._lib;
        if (this._startId)
            Main.layoutManager.disconnect(this._startId);
        Gio.bus_unown_name(this._nameId);
        this._object.unexport();
    }

    _menuItems() {
        const {Main, PopupMenu} = this._lib;
        const indicator = Main.panel.statusArea['vantor-companion'];
        return indicator ? indicator.menu._getMenuItems()
            .filter(item => item instanceof PopupMenu.PopupMenuItem) : [];
    }

    // Title, whether it can be chosen, whether it carries a check mark; none: no indicator.
    MenuEntries() {
        const {PopupMenu} = this._lib;
        return this._menuItems().map(item => [item.label.text, item.sensitive,
            item._ornament === PopupMenu.Ornament.CHECK]);
    }

    // As a click on the entry does.
    ChooseEntry(title) {
        const item = this._menuItems().find(candidate => candidate.label.text === title);
        if (item)
            item.activate(null);
        return Boolean(item);
    }

    // A menu choice from the Shell's own connection, naming any id; the agent's error, if any.
    CallAgentAsync([agent, id], invocation) {
        const {Gio, GLib} = this._lib;
        Gio.DBus.session.call(agent, '/com/keyloft/VantorCompanion/Agent',
            'com.keyloft.VantorCompanion.Agent1', 'Activate', new GLib.Variant('(u)', [id]), null,
            Gio.DBusCallFlags.NONE, 2000, null, (connection, result) => {
                let error = '';
                try {
                    connection.call_finish(result);
                } catch (e) {
                    error = Gio.DBusError.get_remote_error(e) || String(e);
                }
                invocation.return_value(new GLib.Variant('(s)', [error]));
            });
    }

    ScreenshotAsync([path, openMenu], invocation) {
        const {Gio, GLib, Main, Shell} = this._lib;
        const indicator = Main.panel.statusArea['vantor-companion'];
        if (openMenu && indicator)
            indicator.menu.open(false);
        const shoot = () => {
            const stream = Gio.File.new_for_path(path).replace(null, false,
                Gio.FileCreateFlags.NONE, null);
            new Shell.Screenshot().screenshot(false, stream, (shooter, result) => {
                try {
                    shooter.screenshot_finish(result);
                    stream.close(null);
                    invocation.return_value(null);
                } catch (e) {
                    invocation.return_dbus_error('org.freedesktop.DBus.Error.Failed', String(e));
                }
            });
            return GLib.SOURCE_REMOVE;
        };
        // A picture for people, not a check: the Shell loads the menu's icons (the check mark)
        // after the menu first paints, so give them a moment to show.
        GLib.timeout_add(GLib.PRIORITY_DEFAULT, 500, shoot);
    }

    // Out of the overview first (it holds the keyboard focus), and with a timestamp from the
    // server: outside an event, the current time is 0, which focus-stealing prevention may refuse.
    Activate(appId) {
        const window = global.get_window_actors().map(actor => actor.meta_window)
            .find(candidate => candidate.get_wm_class() === appId);
        this._lib.Main.overview.hide();
        if (window)
            window.activate(global.display.get_current_time_roundtrip());
        return Boolean(window);
    }
};
