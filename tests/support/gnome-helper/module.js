// GNOME Shell 45 and later: the ES-module form around the shared helper.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Shell from 'gi://Shell';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import * as PopupMenu from 'resource:///org/gnome/shell/ui/popupMenu.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

import {TestHelper} from './helper.js';

export default class TestHelperExtension extends Extension {
    enable() {
        this._helper = new TestHelper({Gio, GLib, Shell, Main, PopupMenu});
        this._helper.enable();
    }

    disable() {
        this._helper.disable();
        this._helper = null;
    }
}
