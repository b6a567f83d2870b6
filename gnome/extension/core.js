// SPDX-License-Identifier: MIT
// What both forms of the extension share: the focused window on the session bus, unicast to the
// agent, a virtual keyboard that only the agent may use, and the agent's status menu in the top
// bar while the agent has no tray to show it (GNOME Shell has none of its own). Written without `imports` and
// `import` so the same text serves GNOME 43/44 (legacy) and 45+ (ES module): each entry file hands
// in the libraries it loaded its own way.

var BUS_NAME = 'com.keyloft.VantorCompanion.Shell';
var OBJECT_PATH = '/com/keyloft/VantorCompanion/Shell';
var INTERFACE = 'com.keyloft.VantorCompanion.Shell1';
// The agent's object on its own connection, which takes the user's choices from the menu.
const AGENT_PATH = '/com/keyloft/VantorCompanion/Agent';
const AGENT_INTERFACE = 'com.keyloft.VantorCompanion.Agent1';
const INDICATOR_ROLE = 'vantor-companion';
// The agent's menu is a dozen lines; these bound what a faulty one can make the Shell draw.
const MAX_MENU_ENTRIES = 32;
const MAX_TITLE_CHARS = 200;

const INTERFACE_XML = `<node>
  <interface name="${INTERFACE}">
    <method name="Subscribe">
      <arg type="t" name="id" direction="out"/>
      <arg type="s" name="title" direction="out"/>
      <arg type="s" name="appId" direction="out"/>
      <arg type="s" name="desktopId" direction="out"/>
      <arg type="u" name="pid" direction="out"/>
    </method>
    <method name="Keyboard">
      <arg type="s" name="layout" direction="out"/>
      <arg type="s" name="options" direction="out"/>
    </method>
    <method name="PressKey">
      <arg type="u" name="keysym" direction="in"/>
      <arg type="u" name="modifiers" direction="in"/>
    </method>
    <!-- id, title, enabled, checkable, checked, separator; none: no indicator -->
    <method name="SetMenu">
      <arg type="a(usbbbb)" name="entries" direction="in"/>
    </method>
    <signal name="WindowChanged">
      <arg type="t" name="id"/>
      <arg type="s" name="title"/>
      <arg type="s" name="appId"/>
      <arg type="s" name="desktopId"/>
      <arg type="u" name="pid"/>
    </signal>
  </interface>
</node>`;

const ERROR_REFUSED = 'com.keyloft.VantorCompanion.Error.Refused';
const ERROR_INVALID = 'com.keyloft.VantorCompanion.Error.InvalidArgs';
const CALL_TIMEOUT_MS = 2000;

// Modifier bits of PressKey and the keys pressed for them, in pressing order.
const MODIFIER_KEYS = [
    [2, 0xffe3], // Control_L
    [1, 0xffe1], // Shift_L
    [4, 0xffe9], // Alt_L
];

// The agent's executables, one absolute path a line, from `agent-executables` beside this file.
// Whoever can change that file can change this extension's code too, so it adds no trust.
function readAgentExecutables(lib, folder) {
    try {
        const [, bytes] = lib.GLib.file_get_contents(`${folder}/agent-executables`);
        return new TextDecoder().decode(bytes).split('\n').map(line => line.trim())
            .filter(line => line.startsWith('/'));
    } catch (e) {
        return [];
    }
}

var VantorService = class VantorService {
    // lib: {Gio, GLib, Clutter, Shell, St, Main, PanelMenu, PopupMenu, inputSources}; folder:
    // where the extension lives.
    constructor(lib, folder) {
        this._lib = lib;
        this._folder = folder;
        this._allowed = readAgentExecutables(lib, folder);
        this._subscriber = null;
        this._window = null;
        this._signals = [];
        this._indicator = null;
    }

    enable() {
        const {Gio, Clutter} = this._lib;
        // Made now, not at the first key: a device created just before a press loses that key.
        const seat = Clutter.get_default_backend().get_default_seat();
        this._keyboard = seat.create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
        this._focusId = global.display.connect('notify::focus-window', () => this._focusChanged());
        this._focusChanged();
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        this._object.export(Gio.DBus.session, OBJECT_PATH);
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        const {Gio} = this._lib;
        Gio.bus_unown_name(this._nameId);
        this._object.unexport();
        this._object = null;
        global.display.disconnect(this._focusId);
        this._watch(null);
        this._forgetSubscriber();
        this._keyboard = null;
    }

    _watch(window) {
        if (this._window && this._titleId)
            this._window.disconnect(this._titleId);
        this._titleId = 0;
        this._window = window;
        if (window)
            this._titleId = window.connect('notify::title', () => this._emit());
    }

    _focusChanged() {
        const window = global.display.focus_window;
        if (window === this._window)
            return;
        this._watch(window);
        this._emit();
    }

    _state() {
        const window = this._window;
        if (!window)
            return [0, '', '', '', 0];
        const app = this._lib.Shell.WindowTracker.get_default().get_window_app(window);
        // The tracker names windows it cannot place "window:N": that is no desktop entry.
        const appId = app ? app.get_id() || '' : '';
        const pid = window.get_pid();
        return [window.get_id(), window.get_title() || '', window.get_wm_class() || '',
            appId.startsWith('window:') ? '' : appId, pid > 0 ? pid : 0];
    }

    _emit() {
        const {GLib} = this._lib;
        if (!this._subscriber)
            return;
        // Sent to the agent alone: window titles are not for every program on the bus.
        this._lib.Gio.DBus.session.emit_signal(this._subscriber, OBJECT_PATH, INTERFACE,
            'WindowChanged', new GLib.Variant('(tsssu)', this._state()));
    }

    _forgetSubscriber() {
        if (this._subscriberWatch)
            this._lib.Gio.bus_unwatch_name(this._subscriberWatch);
        this._subscriberWatch = 0;
        this._subscriber = null;
        // The menu is the agent's: it goes with the agent.
        this._showMenu([]);
    }

    // The top-bar indicator with these entries; none removes it.
    _showMenu(entries) {
        const {Gio, Main, PanelMenu, PopupMenu, St} = this._lib;
        if (entries.length === 0) {
            if (this._indicator)
                this._indicator.destroy();
            this._indicator = null;
            return;
        }
        if (!this._indicator) {
            this._indicator = new PanelMenu.Button(0.0, 'Keyloft Companion', false);
            this._indicator.add_child(new St.Icon({
                gicon: Gio.icon_new_for_string(`${this._folder}/KeyloftMenu.png`),
                style_class: 'system-status-icon',
            }));
            Main.panel.addToStatusArea(INDICATOR_ROLE, this._indicator);
        }
        const menu = this._indicator.menu;
        menu.removeAll();
        for (const [id, title, enabled, checkable, checked, separator] of
            entries.slice(0, MAX_MENU_ENTRIES)) {
            if (separator) {
                menu.addMenuItem(new PopupMenu.PopupSeparatorMenuItem());
                continue;
            }
            const item = new PopupMenu.PopupMenuItem(title.slice(0, MAX_TITLE_CHARS));
            item.sensitive = enabled;
            if (checkable)
                item.setOrnament(checked ? PopupMenu.Ornament.CHECK : PopupMenu.Ornament.NONE);
            item.connect('activate', () => this._choose(id));
            menu.addMenuItem(item);
        }
    }

    // The agent runs the command, as its tray menu would; the answer only says it was taken.
    _choose(id) {
        const {Gio, GLib} = this._lib;
        if (!this._subscriber)
            return;
        Gio.DBus.session.call(this._subscriber, AGENT_PATH, AGENT_INTERFACE, 'Activate',
            new GLib.Variant('(u)', [id]), null, Gio.DBusCallFlags.NONE, CALL_TIMEOUT_MS, null,
            (connection, result) => {
                try {
                    connection.call_finish(result);
                } catch (e) {
                    log(`Keyloft Companion: the agent did not take the menu choice: ${e.message}`);
                }
            });
    }

    // The program a process runs. An upgrade that replaced the file by rename leaves the kernel
    // naming it "PATH (deleted)": the same program, as far as a path can tell.
    _program(pid) {
        const path = this._lib.GLib.file_read_link(`/proc/${pid}/exe`);
        return path.endsWith(' (deleted)') ? path.slice(0, -10) : path;
    }

    // The caller's program, from the bus's word on its process. Where the bus hands out a pidfd
    // (dbus 1.15.7 and later), the pid read through it cannot have been reused by another
    // process between the bus's answer and the look at /proc; elsewhere the pid is the bus's.
    _callerProgram(connection, result) {
        const {GLib} = this._lib;
        const [reply, fds] = connection.call_with_unix_fd_list_finish(result);
        const [credentials] = reply.deepUnpack();
        const pidOf = fd => {
            const [, bytes] = GLib.file_get_contents(`/proc/self/fdinfo/${fd}`);
            const match = new TextDecoder().decode(bytes).match(/^Pid:\s*(-?\d+)/m);
            return match ? Number(match[1]) : -1;
        };
        if (credentials.ProcessFD !== undefined && fds) {
            const fd = fds.get(credentials.ProcessFD.deepUnpack());
            try {
                const pid = pidOf(fd);
                const program = pid > 0 ? this._program(pid) : '';
                // Still that process: its pid was not handed on while /proc was read.
                return pid > 0 && pidOf(fd) === pid ? program : '';
            } finally {
                GLib.close(fd);
            }
        }
        return this._program(credentials.ProcessID.deepUnpack());
    }

    // Calls `then` when the caller is the agent, refuses the call otherwise: the caller's
    // program must be one the agent is installed as.
    _fromAgent(invocation, then) {
        const {Gio, GLib} = this._lib;
        const sender = invocation.get_sender();
        Gio.DBus.session.call_with_unix_fd_list('org.freedesktop.DBus', '/org/freedesktop/DBus',
            'org.freedesktop.DBus', 'GetConnectionCredentials',
            new GLib.Variant('(s)', [sender]), new GLib.VariantType('(a{sv})'),
            Gio.DBusCallFlags.NONE, CALL_TIMEOUT_MS, null, null, (connection, result) => {
                let executable = '';
                try {
                    executable = this._callerProgram(connection, result);
                } catch (e) {
                    executable = '';
                }
                if (!this._allowed.includes(executable)) {
                    invocation.return_dbus_error(ERROR_REFUSED,
                        'This service answers only the Keyloft Companion agent');
                    return;
                }
                try {
                    then(sender);
                } catch (e) {
                    invocation.return_dbus_error(ERROR_INVALID, String(e.message || e));
                }
            });
    }

    SubscribeAsync(params, invocation) {
        const {Gio, GLib} = this._lib;
        this._fromAgent(invocation, sender => {
            // One subscriber while its connection lives: a second caller cannot take the
            // windows away from the agent behind its back.
            if (this._subscriber && sender !== this._subscriber) {
                invocation.return_dbus_error(ERROR_REFUSED, 'Another program is subscribed');
                return;
            }
            if (sender !== this._subscriber) {
                this._forgetSubscriber();
                this._subscriber = sender;
                this._subscriberWatch = Gio.bus_watch_name_on_connection(Gio.DBus.session,
                    sender, Gio.BusNameWatcherFlags.NONE, null, () => {
                        if (this._subscriber === sender)
                            this._forgetSubscriber();
                    });
            }
            invocation.return_value(new GLib.Variant('(tsssu)', this._state()));
        });
    }

    KeyboardAsync(params, invocation) {
        const {GLib} = this._lib;
        this._fromAgent(invocation, () => {
            const [layout, options] = this._lib.inputSources();
            invocation.return_value(new GLib.Variant('(ss)', [layout, options]));
        });
    }

    SetMenuAsync(params, invocation) {
        const [entries] = params;
        this._fromAgent(invocation, sender => {
            // The agent that holds the subscription: the menu leaves with its connection.
            if (sender !== this._subscriber) {
                invocation.return_dbus_error(ERROR_REFUSED, 'Subscribe first');
                return;
            }
            this._showMenu(entries);
            invocation.return_value(null);
        });
    }

    PressKeyAsync(params, invocation) {
        const {GLib, Clutter} = this._lib;
        const [keysym, modifiers] = params;
        this._fromAgent(invocation, () => {
            if (keysym === 0 || keysym > 0x1ffffff || (modifiers & ~7) !== 0)
                throw new Error('No such key or modifier');
            const keyboard = this._keyboard;
            const held = MODIFIER_KEYS.filter(([bit]) => modifiers & bit).map(([, key]) => key);
            const time = GLib.get_monotonic_time();
            const press = (key, state) => keyboard.notify_keyval(time, key, state);
            held.forEach(key => press(key, Clutter.KeyState.PRESSED));
            press(keysym, Clutter.KeyState.PRESSED);
            press(keysym, Clutter.KeyState.RELEASED);
            held.reverse().forEach(key => press(key, Clutter.KeyState.RELEASED));
            invocation.return_value(null);
        });
    }
};

// The XKB layout ("us", "de+nodeadkeys") of the input source in use and the XKB options, for the
// agent to check keys against: the virtual keyboard types only what the current layout has.
function currentXkbLayout(lib, manager) {
    const settings = new lib.Gio.Settings({schema_id: 'org.gnome.desktop.input-sources'});
    const options = settings.get_strv('xkb-options').join(',');
    const source = manager ? manager.currentSource : null;
    if (source)
        return [source.xkbId || source.id || 'us', options];
    const sources = settings.get_value('sources').deepUnpack();
    const xkb = sources.find(([type]) => type === 'xkb');
    return [xkb ? xkb[1] : 'us', options];
}
