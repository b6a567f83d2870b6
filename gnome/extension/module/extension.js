// SPDX-License-Identifier: MIT
// GNOME Shell 45 and later: the ES-module form around the shared core.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Clutter from 'gi://Clutter';
import Shell from 'gi://Shell';
import St from 'gi://St';
import * as Keyboard from 'resource:///org/gnome/shell/ui/status/keyboard.js';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import * as PanelMenu from 'resource:///org/gnome/shell/ui/panelMenu.js';
import * as PopupMenu from 'resource:///org/gnome/shell/ui/popupMenu.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

import {VantorService, currentXkbLayout} from './core.js';

export default class VantorExtension extends Extension {
    enable() {
        const lib = {Gio, GLib, Clutter, Shell, St, Main, PanelMenu, PopupMenu};
        lib.inputSources = () => currentXkbLayout(lib, Keyboard.getInputSourceManager());
        this._service = new VantorService(lib, this.path);
        this._service.enable();
    }

    disable() {
        this._service.disable();
        this._service = null;
    }
}
