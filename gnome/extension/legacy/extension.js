// SPDX-License-Identifier: MIT
/* exported init */
// GNOME Shell 43/44: the legacy `imports` form around the shared core.
const {Gio, GLib, Clutter, Shell, St} = imports.gi;
const Keyboard = imports.ui.status.keyboard;
const Main = imports.ui.main;
const PanelMenu = imports.ui.panelMenu;
const PopupMenu = imports.ui.popupMenu;
const Me = imports.misc.extensionUtils.getCurrentExtension();
const Core = Me.imports.core;

class Extension {
    enable() {
        const lib = {Gio, GLib, Clutter, Shell, St, Main, PanelMenu, PopupMenu};
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
