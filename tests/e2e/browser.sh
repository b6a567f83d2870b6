# Shared by the browser end-to-end test and benchmark: pages on loopback, and Chromium or Firefox
# with our extension and native messaging host registered in a private profile. Source after nothing:
# it sources desktop.sh itself.
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"
EXTENSION=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../browser/extension" && pwd)
HOST_NAME=com.keyloft.vantor_companion

status() { curl -sf http://127.0.0.1:17345/status; }
export -f status

# expect_url URL: waits until /status shows URL as the address.
expect_url() { wait_for 20 bash -c "status | grep -q '\"browserUrl\":\"$1\"'"; }

# start_agent_desktop BUILD_DIR: an X desktop, the test pages and the built agent, answering. The
# port is fixed: give an agent of another run a moment to go, never talk to it.
start_agent_desktop() {
  wait_for 60 sh -c '! curl -s -m 1 http://127.0.0.1:17345/health' ||
    fail "another agent already answers on 127.0.0.1:17345"
  start_x
  start_pages
  start_bg agent "$1/bin/vantor-companion"
  wait_for 20 curl -sf http://127.0.0.1:17345/health || fail "agent did not answer"
}

# Three titled pages on a loopback HTTP server; $PAGES is their base address.
start_pages() {
  mkdir -p "$E2E_DIR/www"
  for name in alpha beta gamma; do
    echo "<!doctype html><title>${name^} page</title><p>$name</p>" >"$E2E_DIR/www/$name.html"
  done
  for i in $(seq 0 40); do
    echo "<!doctype html><title>Page $i</title><p>$i</p>" >"$E2E_DIR/www/p$i.html"
  done
  start_bg pages python3 -u -m http.server --bind 127.0.0.1 --directory "$E2E_DIR/www" 0
  wait_for 10 grep -q 'Serving HTTP' "$E2E_DIR/pages.log" || fail "page server did not start"
  PAGES=http://127.0.0.1:$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$E2E_DIR/pages.log" | head -n1)
}

CHROMIUM_FLAGS=(--no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run
  --disable-background-networking --disable-component-update --disable-sync --disable-quic
  --disable-popup-blocking --password-store=basic --remote-debugging-port=0)

# start_chromium BUILD URL: a windowed Chromium (the agent needs a front window) whose profile
# knows our host, built beside the agent, for our extension's pinned id.
start_chromium() {
  local profile=$E2E_DIR/chromium id
  id=$(python3 -c 'import base64,hashlib,json,sys
d=base64.b64decode(json.load(open(sys.argv[1]))["key"])
print("".join(chr(97+int(c,16)) for c in hashlib.sha256(d).hexdigest()[:32]))' "$EXTENSION/manifest.json")
  grep -q "VANTOR_CHROMIUM_EXTENSION_ID $id)" "$EXTENSION/../CMakeLists.txt" ||
    fail "the installed host manifests name another id than the key's $id"
  mkdir -p "$profile/NativeMessagingHosts"
  cat >"$profile/NativeMessagingHosts/$HOST_NAME.json" <<JSON
{"name":"$HOST_NAME","description":"Vantor Companion","path":"$1/bin/vantor-browser-host",
 "type":"stdio","allowed_origins":["chrome-extension://$id/"]}
JSON
  start_bg chromium chromium "${CHROMIUM_FLAGS[@]}" --user-data-dir="$profile" \
    --load-extension="$EXTENSION" --disable-extensions-except="$EXTENSION" "$2"
  wait_for 30 test -s "$profile/DevToolsActivePort" || fail "chromium did not start"
  DEVTOOLS=http://127.0.0.1:$(head -n1 "$profile/DevToolsActivePort")
}

# chromium_private URL: a private window of the running Chromium.
chromium_private() {
  bounded 30 chromium "${CHROMIUM_FLAGS[@]}" --user-data-dir="$E2E_DIR/chromium" --incognito "$1" \
    >>"$E2E_DIR/chromium.log" 2>&1
}

# devtools METHOD PATH: one request to Chromium's DevTools HTTP endpoint (/json/...).
devtools() { curl -sf -X "$1" "$DEVTOOLS/json/$2"; }

# start_firefox BUILD URL: a windowed firefox-esr with our unsigned extension installed in a fresh
# profile and our host registered for its gecko id in the test's home. No --no-remote: later
# firefox_tab and firefox_private calls reach this instance through the desktop's session bus.
start_firefox() {
  local profile=$E2E_DIR/firefox id
  id=$(python3 -c 'import json,sys
print(json.load(open(sys.argv[1]))["browser_specific_settings"]["gecko"]["id"])' "$EXTENSION/manifest.json")
  mkdir -p "$profile/extensions" "$HOME/.mozilla/native-messaging-hosts"
  python3 -m zipfile -c "$profile/extensions/$id.xpi" "$EXTENSION"/*
  cat >"$HOME/.mozilla/native-messaging-hosts/$HOST_NAME.json" <<JSON
{"name":"$HOST_NAME","description":"Vantor Companion","path":"$1/bin/vantor-browser-host",
 "type":"stdio","allowed_extensions":["$id"]}
JSON
  # Unsigned add-ons only load with these; the rest keeps first-run tabs from taking the front.
  local pref
  for pref in xpinstall.signatures.required=false extensions.autoDisableScopes=0 \
    extensions.enabledScopes=15 browser.shell.checkDefaultBrowser=false \
    browser.startup.homepage_override.mstone='"ignore"' browser.aboutwelcome.enabled=false \
    datareporting.policy.dataSubmissionEnabled=false toolkit.telemetry.reportingpolicy.firstRun=false \
    app.update.enabled=false extensions.update.enabled=false app.normandy.enabled=false \
    network.captive-portal-service.enabled=false; do
    echo "user_pref(\"${pref%%=*}\", ${pref#*=});"
  done >"$profile/user.js"
  start_bg firefox firefox-esr --profile "$profile" "$2"
}

# firefox_tab URL, firefox_private URL: a new tab, or a private window, in the running Firefox.
firefox_tab() { bounded 30 firefox-esr --profile "$E2E_DIR/firefox" --new-tab "$1" >>"$E2E_DIR/firefox.log" 2>&1; }
firefox_private() {
  bounded 30 firefox-esr --profile "$E2E_DIR/firefox" --private-window "$1" >>"$E2E_DIR/firefox.log" 2>&1
}
chromium_tab() { devtools PUT "new?$1" >/dev/null; }
