// Tests only: a headless Shell starts in the overview, which holds the keyboard focus; this
// leaves it, and lets tests and benchmarks focus a window by its app id. Written without
// `imports` and `import` so both forms of the extension load this same text: each entry file
// hands in the libraries it loaded its own way.
const INTERFACE_XML = `<node><interface name="com.keyloft.VantorCompanion.TestHelper">
  <method name="Activate"><arg type="s" name="appId" direction="in"/>
    <arg type="b" name="found" direction="out"/></method>
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
