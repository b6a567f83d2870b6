// SPDX-License-Identifier: MIT
/* exported init */
// GNOME Shell 43/44: the legacy `imports` form around the shared core.
const {Gio, GLib, Clutter, Shell} = imports.gi;
const Keyboard = imports.ui.status.keyboard;
const Me = imports.misc.extensionUtils.getCurrentExtension();
const Core = Me.imports.core;

class Extension {
    enable() {
        const lib = {Gio, GLib, Clutter, Shell};
        lib.inputSources = () => Core.currentXkbLayout(lib, Keyboard.getInputSourceManager());
        this._service = new Core.VantorService(lib, Me.path);
        this._service.enable();
    }

    disable() {
        this._service.disable();
        this._service = null;
    }
}

function init() {
    return new Extension();
}
