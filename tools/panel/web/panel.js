// The deck panel: draws the module's artwork, shows the server's deck state from its event
// stream and sends the operator's commands through the HTTP API. Plain script, no build step.
"use strict";

(function () {
    // The server moved the address's token into a cookie that this script cannot read and that
    // goes with each of the page's requests; out of the address bar, it is not shown, bookmarked
    // or shared by accident.
    (function dropToken() {
        const params = new URLSearchParams(location.search);
        if (params.has("token")) {
            params.delete("token");
            const rest = params.toString();
            history.replaceState(null, "", location.pathname + (rest ? "?" + rest : "") +
                                 location.hash);
        }
    })();

    function artUrl(name) {
        return "/art/" + encodeURIComponent(name);
    }

    const $ = (id) => document.getElementById(id);

    // ---- state ----

    let decks = [];            // the last list from the server
    let port = null;           // the deck this window shows
    let clips = [];
    let streamUp = false;
    const lastErrorSeq = new Map();  // port -> errorSeq already shown
    const wasAnswering = new Map();  // port -> connected and answering at the last update
    let jog = 0;               // the J/K/L speed this window last asked for
    let clipsDirty = false;

    function current() {
        return decks.find((d) => d.port === port) || null;
    }

    // ---- timecode ----

    function fpsOf(deck) {
        return deck && deck.fps > 0 ? deck.fps : 25;
    }

    function pad2(n) {
        return String(n).padStart(2, "0");
    }

    function framesToTc(frames, fps) {
        if (frames === null || frames === undefined) {
            return "--:--:--:--";
        }
        const neg = frames < 0;
        let f = Math.abs(frames);
        const ff = f % fps;
        f = Math.floor(f / fps);
        const ss = f % 60;
        f = Math.floor(f / 60);
        const mm = f % 60;
        const hh = Math.floor(f / 60);
        return (neg ? "-" : "") + pad2(hh) + ":" + pad2(mm) + ":" + pad2(ss) + ":" + pad2(ff);
    }

    // Accepts HH:MM:SS:FF with ':', ';' or '.' between the pairs, or eight digits; the server
    // checks the ranges against the deck's rate.
    function normaliseTc(text) {
        const t = text.trim();
        let m = /^(-?)(\d{1,2})[:;.](\d{1,2})[:;.](\d{1,2})[:;.](\d{1,2})$/.exec(t);
        if (!m) {
            const d = /^(-?)(\d{8})$/.exec(t);
            if (!d) {
                return null;
            }
            m = [t, d[1], d[2].slice(0, 2), d[2].slice(2, 4), d[2].slice(4, 6), d[2].slice(6)];
        }
        return m[1] + [m[2], m[3], m[4], m[5]].map((p) => pad2(Number(p))).join(":");
    }

    // ---- messages: every failure is shown in words ----

    let messageTimer = null;

    function say(text, isError) {
        const el = $("message");
        el.textContent = text;
        el.title = text;
        el.classList.toggle("error", !!isError);
        clearTimeout(messageTimer);
        if (!isError) {
            messageTimer = setTimeout(() => {
                if (el.textContent === text) {
                    el.textContent = "";
                }
            }, 4000);
        }
    }

    // ---- HTTP ----

    async function request(method, path, body, contentType) {
        const init = { method, headers: {} };
        if (body !== undefined) {
            init.body = contentType ? body : JSON.stringify(body);
            init.headers["Content-Type"] = contentType || "application/json";
        }
        let reply;
        try {
            reply = await fetch(path, init);
        } catch (e) {
            throw new Error("the server cannot be reached");
        }
        let data = null;
        const text = await reply.text();
        try {
            data = text ? JSON.parse(text) : null;
        } catch (e) {
            data = null;
        }
        if (!reply.ok) {
            const why = data && data.error ? data.error : text.trim() || reply.statusText;
            throw new Error(why + " (HTTP " + reply.status + ")");
        }
        return data;
    }

    // A deck action; a refusal from the server or the deck is shown, never dropped.
    async function act(action, body, label) {
        if (port === null) {
            say("no deck to send " + action + " to", true);
            return null;
        }
        const target = port;
        try {
            const r = await request("POST", "/api/decks/" + target + "/" + action, body || {});
            if (r && r.ok === false) {
                say((label || action) + ": " + (r.error || "the deck refused it"), true);
                return r;
            }
            return r;
        } catch (e) {
            say((label || action) + ": " + e.message, true);
            return null;
        }
    }

    // ---- artwork ----

    function setArt(img, name) {
        const url = artUrl(name);
        if (img.getAttribute("src") !== url) {
            img.src = url;
        }
    }

    function drawStaticArt() {
        document.querySelectorAll("img[data-art]").forEach((img) => setArt(img, img.dataset.art));
        document.querySelectorAll("[data-up]").forEach((b) => {
            setArt(b.querySelector("img"), b.dataset.up);
            // Fetch the pressed face now, so pressing shows it at once.
            new Image().src = artUrl(b.dataset.down);
        });
        new Image().src = artUrl("IDB_BUTTON_U");
        setArt($("lamp"), "IDB_BUTTON_D");
    }

    // A button shows its pressed face while held or while its mode is on.
    function pressable(button, onPress) {
        const img = button.querySelector("img");
        const face = () => setArt(img, button.classList.contains("held") ||
                                        button.classList.contains("on") ? button.dataset.down
                                                                        : button.dataset.up);
        button.addEventListener("pointerdown", (e) => {
            if (e.button !== 0) {
                return;
            }
            button.classList.add("held");
            button.setPointerCapture(e.pointerId);
            face();
        });
        const release = () => {
            button.classList.remove("held");
            face();
        };
        button.addEventListener("pointerup", release);
        button.addEventListener("pointercancel", release);
        button.addEventListener("click", onPress);
        button.refreshFace = face;
    }

    // ---- tabs: the panel's three tabs, the artwork's own lit and unlit looks ----

    const TAB_LEFT = [10, 106, 202];
    const ACTIVE_TAB_LEFT = 10;     // the bitmap draws its first tab lit...
    const INACTIVE_TAB_LEFT = 106;  // ...and its second one unlit

    function drawTabs() {
        const box = $("tabs");
        box.textContent = "";
        TAB_LEFT.forEach((left, i) => {
            const deck = decks[i];
            const tab = document.createElement("button");
            tab.className = "tab";
            tab.style.left = left + "px";
            const active = deck && deck.port === port;
            // A tab whose look differs from the bitmap's at that place gets the other look,
            // cut from the same bitmap.
            const want = active ? ACTIVE_TAB_LEFT : INACTIVE_TAB_LEFT;
            if (want !== left && (deck || i === 0)) {
                tab.style.backgroundImage = 'url("' + artUrl("#15001") + '")';
                tab.style.backgroundPosition = -want + "px -4px";
            }
            if (deck) {
                tab.textContent = "DECK " + deck.port;
                tab.title = "Port " + deck.port + (deck.device ? " (" + deck.device + ")" : "");
                tab.classList.toggle("active", active);
                tab.addEventListener("click", () => select(deck.port));
            } else {
                tab.classList.add("empty");
                tab.tabIndex = -1;
                tab.disabled = true;
            }
            box.appendChild(tab);
        });
        const sel = $("deck-select");
        sel.hidden = decks.length <= TAB_LEFT.length;
        const wanted = decks.map((d) => String(d.port)).join(",");
        if (sel.dataset.ports !== wanted) {
            sel.textContent = "";
            decks.forEach((d) => {
                const o = document.createElement("option");
                o.value = String(d.port);
                o.textContent = "Deck " + d.port + (d.device ? " - " + d.device : "");
                sel.appendChild(o);
            });
            sel.dataset.ports = wanted;
        }
        if (port !== null) {
            sel.value = String(port);
        }
    }

    function select(p) {
        if (p === port) {
            return;
        }
        port = p;
        jog = 0;
        try {
            sessionStorage.setItem("deck-port", String(p));
        } catch (e) {
            // storage may be off; the choice then lasts for this page only
        }
        tabsDrawn = "";
        applyDecks(decks);
    }

    // ---- drawing the state ----

    function setText(id, text) {
        const el = $(id);
        if (el.textContent !== text) {
            el.textContent = text;
        }
    }

    const MODE_BUTTON = { play: "btn-play", stop: "btn-stop", pause: "btn-pause",
                          ffwd: "btn-ffwd", rew: "btn-rew" };

    function render() {
        const deck = current();
        const lit = !!(deck && streamUp && deck.connected && deck.answering);
        setArt($("lamp"), lit ? "IDB_BUTTON_U" : "IDB_BUTTON_D");
        $("lamp").title = lit ? "connected and answering" : "not answering";
        if (!deck) {
            renderNoDeck();
            return;
        }
        renderTimes(deck);
        renderState(deck);
        renderTransport(deck);
        renderNews(deck);
    }

    function renderNoDeck() {
        for (const id of ["time", "in", "out", "dur"]) {
            setText(id, "--:--:--:--");
        }
        setText("state", streamUp ? "no deck" : "no server");
        $("state").className = "bad";
        setText("device", "");
        setText("speed", "");
    }

    // The display fields: the deck's time, the marks and the duration between them.
    function renderTimes(deck) {
        const fps = fpsOf(deck);
        setText("time", deck.time || framesToTc(deck.frames, fps));
        setText("in", deck.markInTime || "--:--:--:--");
        setText("out", deck.markOutTime || "--:--:--:--");
        const haveBoth = deck.markIn !== null && deck.markIn !== undefined &&
                         deck.markOut !== null && deck.markOut !== undefined;
        setText("dur", haveBoth && deck.markOut >= deck.markIn && deck.markDuration
                           ? deck.markDuration
                           : "--:--:--:--");
    }

    // The state in words and the line that says where the deck is and how it answers.
    function renderState(deck) {
        let state = streamUp ? deck.state || "" : "no server";
        if (state === "shuttle" && deck.speed) {
            state = "shuttle " + (deck.speed > 0 ? "+" : "") + deck.speed;
        }
        setText("state", state);
        const bad = !streamUp || deck.state === "not answering" || deck.state === "disconnected";
        const moving = ["winding", "shuttle", "cueing"].includes(deck.state);
        $("state").className = bad ? "bad" : moving ? "moving" : "";

        let where = "Port " + deck.port + (deck.device ? " " + deck.device : "");
        showRate(deck);
        if (!deck.connected) {
            where += " \u00b7 not connected";
        } else if (!deck.answering) {
            where += " \u00b7 not answering";
        }
        setText("device", where);
    }

    // Transport faces and the knob follow the mode the server last sent.
    function renderTransport(deck) {
        for (const [mode, id] of Object.entries(MODE_BUTTON)) {
            const b = $(id);
            const on = deck.connected && deck.mode === mode;
            if (b.classList.contains("on") !== on) {
                b.classList.toggle("on", on);
                b.refreshFace();
            }
        }
        const sp = deck.mode === "shuttle" ? deck.speed || 0 : 0;
        if (!knobHeld) {
            turnKnob(deck.mode === "ffwd" ? 5 : deck.mode === "rew" ? -5 : sp);
            if (!shuttleBusy && deck.mode !== "shuttle") {
                jog = 0;
            }
        }
        // What the knob last asked for; nothing while another transport is in charge.
        setText("speed", deck.mode === "ffwd" ? "wind >>" : deck.mode === "rew" ? "<< wind"
                         : deck.mode !== "shuttle" ? "" : sp === 0 ? "still"
                         : "speed " + (sp > 0 ? "+" : "") + sp);
    }

    // Messages: a deck that comes back, and each new error of the deck's own thread once.
    function renderNews(deck) {
        const was = wasAnswering.get(deck.port);
        const now = deck.connected && deck.answering;
        if (was === false && now) {
            say("Deck " + deck.port + " answers again", false);
        }
        wasAnswering.set(deck.port, now);
        if (deck.error && deck.errorSeq !== lastErrorSeq.get(deck.port)) {
            say("Deck " + deck.port + ": " + deck.error, true);
        }
        lastErrorSeq.set(deck.port, deck.errorSeq);
    }

    // ---- the deck's rate ----

    function showRate(deck) {
        const select = $("rate");
        if (document.activeElement !== select && deck.rate) {
            select.value = deck.rate;
        }
        select.title = "frame rate of port " + deck.port + ": " + (deck.fps || 25).toFixed(3) +
                       " fps" + (deck.dropFrame ? ", drop frame" : "");
    }

    function changeRate() {
        const deck = current();
        if (deck) {
            act("rate", { rate: $("rate").value }, "rate " + $("rate").value);
        }
    }

    // ---- the event stream ----

    let tabsDrawn = "";

    function applyDecks(list) {
        decks = Array.isArray(list) ? list : [];
        if (port === null || !decks.some((d) => d.port === port)) {
            let saved = null;
            try {
                saved = Number(sessionStorage.getItem("deck-port"));
            } catch (e) {
                saved = null;
            }
            const found = decks.find((d) => d.port === saved);
            port = found ? found.port : decks.length ? decks[0].port : null;
        }
        // The tabs change only with the list of decks or the choice, not with every frame.
        const sig = port + "|" + decks.map((d) => d.port + "=" + (d.device || "")).join(",");
        if (sig !== tabsDrawn) {
            tabsDrawn = sig;
            drawTabs();
        }
        render();
    }

    function connectStream() {
        const es = new EventSource("/api/events");
        es.addEventListener("open", () => {
            streamUp = true;
            setText("link", "");
            render();
        });
        es.addEventListener("decks", (e) => {
            streamUp = true;
            try {
                applyDecks(JSON.parse(e.data).decks);
            } catch (err) {
                say("a deck update could not be read: " + err.message, true);
            }
        });
        es.addEventListener("log", (e) => {
            try {
                applyClips(JSON.parse(e.data).clips);
            } catch (err) {
                say("a log update could not be read: " + err.message, true);
            }
        });
        // After the whole log on connect, only the clips that changed.
        es.addEventListener("clips", (e) => {
            try {
                applyClipChanges(JSON.parse(e.data));
            } catch (err) {
                say("a log update could not be read: " + err.message, true);
            }
        });
        es.addEventListener("error", () => {
            // EventSource retries by itself; meanwhile the panel must not look live.
            streamUp = false;
            setText("link", "connection to the server lost; retrying");
            render();
        });
    }

    // ---- transport ----

    function transport(action) {
        jog = 0;
        return act(action, {}, action);
    }

    // The knob and J/K/L share one sender: requests go one at a time, and only the latest wish
    // is sent after the one in flight, so the deck never ends on a stale speed.
    let shuttleBusy = false;
    let shuttleWanted = null;
    let shuttleSent = null;

    function wish(target) {
        shuttleWanted = target;
        if (!shuttleBusy) {
            pump();
        }
    }

    async function pump() {
        shuttleBusy = true;
        while (shuttleWanted !== null) {
            const t = shuttleWanted;
            shuttleWanted = null;
            if (t === shuttleSent && t !== 0) {
                continue;
            }
            shuttleSent = t;
            if (t > 4) {
                await act("ffwd", {}, "wind forward");
            } else if (t < -4) {
                await act("rew", {}, "rewind");
            } else {
                await act("shuttle", { speed: t }, "shuttle " + t);
            }
        }
        shuttleBusy = false;
    }

    let knobHeld = false;

    function turnKnob(pos) {
        // -4..4 a step of 30 degrees; past the ends (winding) 150.
        const deg = pos > 4 ? 150 : pos < -4 ? -150 : pos * 30;
        $("knob").style.transform = "rotate(" + deg + "deg)";
    }

    function setupShuttle() {
        const box = $("shuttle");
        let startX = 0;
        let pos = 0;
        const STEP = 18;   // pixels of drag per speed step
        const move = (e) => {
            const dx = e.clientX - startX;
            let p = Math.trunc(dx / STEP);
            if (p > 4) {
                p = dx > 5.5 * STEP ? 5 : 4;
            } else if (p < -4) {
                p = dx < -5.5 * STEP ? -5 : -4;
            }
            if (p !== pos) {
                pos = p;
                turnKnob(pos);
                jog = Math.max(-4, Math.min(4, pos));
                wish(pos);
            }
        };
        const release = () => {
            document.removeEventListener("pointermove", move);
            document.removeEventListener("pointerup", release);
            document.removeEventListener("pointercancel", release);
            knobHeld = false;
            box.classList.remove("dragging");
            pos = 0;
            jog = 0;
            turnKnob(0);
            wish(0);
        };
        // The drag is followed on the whole page, so the knob keeps turning (and lets go)
        // wherever the pointer wanders off to.
        box.addEventListener("pointerdown", (e) => {
            if (e.button !== 0 || knobHeld) {
                return;
            }
            e.preventDefault();
            knobHeld = true;
            box.classList.add("dragging");
            startX = e.clientX;
            pos = 0;
            shuttleSent = null;
            document.addEventListener("pointermove", move);
            document.addEventListener("pointerup", release);
            document.addEventListener("pointercancel", release);
        });
    }

    // ---- marks and cues ----

    function cueFrames(frames, label) {
        if (frames === null || frames === undefined) {
            say(label + ": no mark set", true);
            return;
        }
        jog = 0;
        act("cue", { frames }, label);
    }

    function goTo(which) {
        const deck = current();
        cueFrames(deck ? (which === "in" ? deck.markIn : deck.markOut) : null,
                  which === "in" ? "go to In" : "go to Out");
    }

    function mark(which) {
        act("mark", { which }, "mark " + which);
    }

    function setupCueField() {
        const field = $("f-time");
        const shown = $("time");
        const input = $("cue");
        const open = () => {
            if (!input.hidden) {
                return;
            }
            input.value = shown.textContent.includes("-:") ? "" : shown.textContent;
            input.classList.remove("invalid");
            shown.hidden = true;
            input.hidden = false;
            input.focus();
            input.select();
        };
        const close = () => {
            input.hidden = true;
            shown.hidden = false;
        };
        field.addEventListener("click", open);
        input.addEventListener("keydown", (e) => {
            if (e.key === "Enter") {
                e.preventDefault();
                const tc = normaliseTc(input.value);
                if (!tc) {
                    input.classList.add("invalid");
                    say("cue: type a time as HH:MM:SS:FF", true);
                    return;
                }
                close();
                jog = 0;
                act("cue", { timecode: tc }, "cue to " + tc);
            } else if (e.key === "Escape") {
                e.preventDefault();
                close();
            }
        });
        input.addEventListener("blur", close);
    }

    // ---- keyboard, as editors have it ----

    function typing(target) {
        if (!target || !target.tagName) {
            return false;
        }
        const tag = target.tagName;
        return tag === "INPUT" || tag === "TEXTAREA" || tag === "SELECT" ||
               target.isContentEditable;
    }

    function setupKeys() {
        document.addEventListener("keydown", (e) => {
            if (typing(e.target) || e.ctrlKey || e.metaKey || e.altKey) {
                return;
            }
            const deck = current();
            const k = e.key.toLowerCase();
            let handled = true;
            if (k === "l") {
                jog = jog > 0 ? Math.min(4, jog + 1) : 1;
                wish(jog);
            } else if (k === "j") {
                jog = jog < 0 ? Math.max(-4, jog - 1) : -1;
                wish(jog);
            } else if (k === "k") {
                jog = 0;
                wish(0);
            } else if (e.key === " ") {
                const playing = deck && (deck.mode === "play" || deck.state === "playing");
                transport(playing ? "stop" : "play");
            } else if (k === "i") {
                e.shiftKey ? goTo("in") : mark("in");
            } else if (k === "o") {
                e.shiftKey ? goTo("out") : mark("out");
            } else {
                handled = false;
            }
            if (handled) {
                e.preventDefault();
            }
        });
        // Space is the play key: a transport button that has the focus must not click as well.
        document.addEventListener("keyup", (e) => {
            if (e.key === " " && !typing(e.target) && e.target.tagName === "BUTTON") {
                e.preventDefault();
            }
        });
    }

    // ---- clip log ----

    const TC_FIELDS = ["in", "out"];

    function applyClips(list) {
        clips = Array.isArray(list) ? list : [];
        // Rebuilding under the operator's cursor would lose the edit; wait for the blur.
        if (editingClip()) {
            clipsDirty = true;
            return;
        }
        drawClips();
    }

    function applyClipChanges(change) {
        const gone = new Set(change.deleted || []);
        const byId = new Map();
        for (const c of clips) {
            if (!gone.has(c.id)) {
                byId.set(c.id, c);
            }
        }
        for (const c of change.clips || []) {
            byId.set(c.id, c);
        }
        applyClips([...byId.values()].sort((a, b) => a.id - b.id));
    }

    function editingClip() {
        const a = document.activeElement;
        return !!a && a.tagName === "INPUT" && $("clips").contains(a);
    }

    function drawClips() {
        clipsDirty = false;
        const body = $("clips").tBodies[0];
        body.textContent = "";
        for (const clip of clips) {
            body.appendChild(clipRow(clip));
        }
        $("no-clips").hidden = clips.length > 0;
    }

    // A row of the log: the number, a field to edit per column (the duration only shown), and
    // the delete button.
    function clipRow(clip) {
        const tr = document.createElement("tr");
        tr.dataset.id = String(clip.id);
        const num = document.createElement("td");
        num.className = "num";
        num.textContent = String(clip.id);
        tr.appendChild(num);
        for (const key of ["reel", "name", "in", "out", "duration", "note"]) {
            const td = document.createElement("td");
            if (key === "duration") {
                td.className = "dur";
                td.textContent = clip.duration || "";
            } else {
                if (TC_FIELDS.includes(key)) {
                    td.className = "tcell";
                }
                td.appendChild(clipField(clip, key));
            }
            tr.appendChild(td);
        }
        const td = document.createElement("td");
        const del = document.createElement("button");
        del.className = "del";
        del.type = "button";
        del.textContent = "\u2715";
        del.title = "Delete clip " + clip.id;
        del.addEventListener("click", () => deleteClip(clip.id));
        td.appendChild(del);
        tr.appendChild(td);
        return tr;
    }

    // Enter keeps an edit, Escape drops it; the table is redrawn once no field is being edited.
    function clipField(clip, key) {
        const input = document.createElement("input");
        const v = clip[key];
        input.value = v === undefined || v === null ? "" : String(v);
        input.dataset.key = key;
        input.setAttribute("aria-label", key + " of clip " + clip.id);
        input.addEventListener("change", () => editClip(clip.id, key, input));
        input.addEventListener("keydown", (e) => {
            if (e.key === "Enter") {
                input.blur();
            } else if (e.key === "Escape") {
                input.value = clip[key] === undefined ? "" : String(clip[key]);
                input.blur();
            }
        });
        input.addEventListener("blur", () => {
            setTimeout(() => {
                if (clipsDirty && !editingClip()) {
                    drawClips();
                }
            }, 0);
        });
        return input;
    }

    async function editClip(id, key, input) {
        let value = input.value;
        if (TC_FIELDS.includes(key)) {
            const tc = normaliseTc(value);
            if (!tc) {
                input.classList.add("invalid");
                say("clip " + id + ": type " + key + " as HH:MM:SS:FF", true);
                return;
            }
            value = tc;
        }
        input.classList.remove("invalid");
        try {
            await request("PUT", "/api/log/" + id, { [key]: value });
        } catch (e) {
            input.classList.add("invalid");
            say("clip " + id + ": " + e.message, true);
        }
    }

    async function deleteClip(id) {
        try {
            await request("DELETE", "/api/log/" + id);
        } catch (e) {
            say("delete clip " + id + ": " + e.message, true);
        }
    }

    async function logClip(note) {
        const deck = current();
        if (!deck) {
            say("log: no deck", true);
            return;
        }
        const fps = fpsOf(deck);
        const name = $("clip-name").value.trim();
        const text = $("clip-note").value.trim();
        let clip;
        if (note) {
            // A note at one time: the deck's time now, in == out.
            if (!text) {
                say("log note: write the note first", true);
                $("clip-note").focus();
                return;
            }
            const at = deck.time || framesToTc(deck.frames, fps);
            clip = { port: deck.port, name, in: at, out: at, note: text };
        } else {
            if (deck.markIn === null || deck.markIn === undefined ||
                deck.markOut === null || deck.markOut === undefined) {
                say("log clip: mark In and Out first", true);
                return;
            }
            if (deck.markOut < deck.markIn) {
                say("log clip: Out is before In", true);
                return;
            }
            clip = { port: deck.port, name, in: deck.markInTime, out: deck.markOutTime,
                     note: text };
        }
        try {
            const stored = await request("POST", "/api/log", clip);
            $("clip-name").value = "";
            $("clip-note").value = "";
            say("logged clip " + (stored && stored.id !== undefined ? stored.id : ""), false);
        } catch (e) {
            say("log: " + e.message, true);
        }
    }

    async function importCsv(file) {
        try {
            const text = await file.text();
            const r = await request("POST", "/api/log.csv", text, "text/csv");
            const n = r && r.clips ? r.clips.length : null;
            const what = n === null ? "the file" : n + (n === 1 ? " clip" : " clips");
            say("imported " + what, false);
        } catch (e) {
            say("import: " + e.message, true);
        }
    }

    function setupLog() {
        $("log-form").addEventListener("submit", (e) => {
            e.preventDefault();
            logClip(false);
        });
        $("log-note").addEventListener("click", () => logClip(true));
        $("export-csv").href = "/api/log.csv";
        const edl = () => {
            const title = $("edl-title").value.trim() || "TAPEDECK LOG";
            $("export-edl").href = "/api/log.edl?title=" + encodeURIComponent(title);
        };
        edl();
        $("edl-title").addEventListener("input", edl);
        $("import-csv").addEventListener("change", (e) => {
            const f = e.target.files && e.target.files[0];
            if (f) {
                importCsv(f);
            }
            e.target.value = "";
        });
    }

    // ---- start ----

    function setup() {
        drawStaticArt();
        document.querySelectorAll(".tr").forEach((b) => {
            pressable(b, () => transport(b.dataset.action));
        });
        pressable($("serial"), () => act("connect", {}, "connect"));
        pressable($("close"), () => act("disconnect", {}, "disconnect"));
        $("mark-in").addEventListener("click", () => mark("in"));
        $("mark-out").addEventListener("click", () => mark("out"));
        $("goto-in").addEventListener("click", () => goTo("in"));
        $("goto-out").addEventListener("click", () => goTo("out"));
        $("clear-marks").addEventListener("click", () => act("clearmarks", {}, "clear marks"));
        $("rate").addEventListener("change", changeRate);
        $("deck-select").addEventListener("change", (e) => select(Number(e.target.value)));
        setupShuttle();
        setupCueField();
        setupKeys();
        setupLog();
        drawTabs();
        render();
        drawClips();
        // The stream sends the whole state on connect; these two only fill the panel sooner
        // and say so when the server is not there.
        request("GET", "/api/decks").then((r) => {
            if (!decks.length && r) {
                applyDecks(r.decks);
            }
        }).catch((e) => say("decks: " + e.message, true));
        request("GET", "/api/log").then((r) => {
            if (r && !clips.length) {
                applyClips(r.clips);
            }
        }).catch((e) => say("clip log: " + e.message, true));
        connectStream();
    }

    if (document.readyState === "loading") {
        document.addEventListener("DOMContentLoaded", setup);
    } else {
        setup();
    }
})();
