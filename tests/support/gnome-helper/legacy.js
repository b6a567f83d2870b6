/* exported init */
// GNOME Shell 43/44: the legacy `imports` form around the shared helper.
const {Gio, GLib, Shell} = imports.gi;
const Main = imports.ui.main;
const PopupMenu = imports.ui.popupMenu;
const Me = imports.misc.extensionUtils.getCurrentExtension();

function init() {
    return new Me.imports.helper.TestHelper({Gio, GLib, Shell, Main, PopupMenu});
}
