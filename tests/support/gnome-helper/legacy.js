/* exported init */
// GNOME Shell 43/44: the legacy `imports` form around the shared helper.
const {Gio} = imports.gi;
const Main = imports.ui.main;
const Me = imports.misc.extensionUtils.getCurrentExtension();

function init() {
    return new Me.imports.helper.TestHelper({Gio, Main});
}
