// Loaded into KWin by the agent: tells the agent which window has the keyboard focus, and its
// caption whenever that changes. "@AGENT@" is the agent's name on the session bus; "@TOKEN@" a
// secret of this load, which every call carries: other KWin scripts speak through the same
// connection, and only this one knows it.
const agent = "@AGENT@";
const token = "@TOKEN@";
let watched = null;

// KWin's D-Bus bridge aborts on a null inside a map, so every value is a string or a number.
function text(value) {
    if (value === null || value === undefined)
        return "";
    if (value instanceof ArrayBuffer) // Plasma 5 hands resourceClass over as bytes
        return String.fromCharCode.apply(null, new Uint8Array(value));
    return String(value);
}

function send(window, activated) {
    const state = {token: token};
    if (window) {
        state.caption = text(window.caption);
        state.resourceClass = text(window.resourceClass);
        state.desktopFileName = text(window.desktopFileName);
        state.pid = Number(window.pid) || 0;
        state.activated = activated;
    }
    callDBus(agent, "/KWinFocus", "org.vantor.Companion.KWinFocus", "Focus", state);
}

function captionChanged() {
    if (watched)
        send(watched, false);
}

function activated(window) {
    if (watched) {
        try {
            watched.captionChanged.disconnect(captionChanged);
        } catch (gone) {
        }
    }
    watched = window || null;
    if (watched)
        watched.captionChanged.connect(captionChanged);
    send(watched, true);
}

if (workspace.windowActivated) {
    workspace.windowActivated.connect(activated);
    activated(workspace.activeWindow);
} else {
    workspace.clientActivated.connect(activated);
    activated(workspace.activeClient);
}
