// The deck panel: draws the module's artwork, shows the server's deck state from its event
// stream and sends the operator's commands through the HTTP API. Plain script, no build step.
"use strict";

(function () {
    // The token of the address the page was opened with is kept in this tab's session storage,
    // which a reload keeps and no other port or site can read, and goes with every request as
    // Authorization. Never a cookie: browsers send a host's cookies to all of its ports. Out of
    // the address bar, it is not shown, bookmarked or shared by accident.
    const token = (function takeToken() {
        const params = new URLSearchParams(location.search);
        let t = params.get("token");
        if (t !== null) {
            params.delete("token");
            const rest = params.toString();
            history.replaceState(null, "", location.pathname + (rest ? "?" + rest : "") +
                                 location.hash);
        }
        try {
            if (t !== null) {
                sessionStorage.setItem("token", t);
            } else {
                t = sessionStorage.getItem("token");
            }
        } catch (e) {
            // storage may be off; the token then lasts for this page only
        }
        return t || "";
    })();

    function authorised(headers) {
        const h = headers || {};
        if (token) {
            h.Authorization = "Bearer " + token;
        }
        return h;
    }

    // The artwork is fetched with the token and shown from blob URLs, one per name.
    const artBlobs = new Map();

    function artBlob(name) {
        if (!artBlobs.has(name)) {
            const url = fetch("/art/" + encodeURIComponent(name), { headers: authorised() })
                .then((r) => (r.ok ? r.blob() : Promise.reject(new Error("HTTP " + r.status))))
                .then((b) => URL.createObjectURL(b));
            // A failure is tried again the next time the name is wanted.
            url.catch(() => artBlobs.delete(name));
            artBlobs.set(name, url);
        }
        return artBlobs.get(name);
    }

    const $ = (id) => document.getElementById(id);

    // ---- state ----

    let decks = [];            // the last list from the server
    let port = null;           // the deck this window shows, by keyOf
    let clips = [];
    let clipsSeq = -1;         // the log's save the clips shown hold (its seq)
    let streamUp = false;
    const lastErrorSeq = new Map();  // deck -> errorSeq already shown
    const wasAnswering = new Map();  // deck -> connected and answering at the last update
    let jog = 0;               // the J/K/L speed this window last asked for
    let clipsDirty = false;

    // A deck's name where the API wants one: its port, or on a hub MACHINE:PORT.
    function keyOf(deck) {
        return deck.machine ? deck.machine + ":" + deck.port : String(deck.port);
    }

    // How the page names a deck to the operator.
    function nameOf(deck) {
        return deck.machine ? deck.machine + ":" + deck.port : "Deck " + deck.port;
    }

    function current() {
        return decks.find((d) => keyOf(d) === port) || null;
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

    // Accepts HH:MM:SS:FF with ':', ';' or '.' between the pairs, or eight digits, and pads
    // the pairs. A ';' anywhere means drop frame and goes to the server as HH:MM:SS;FF, which
    // refuses it for a non-drop deck: the server checks every time against the deck's rate.
    function normaliseTc(text) {
        const t = text.trim();
        let m = /^(-?)(\d{1,2})([:;.])(\d{1,2})([:;.])(\d{1,2})([:;.])(\d{1,2})$/.exec(t);
        if (m) {
            const drop = m[3] === ";" || m[5] === ";" || m[7] === ";";
            m = [t, m[1], m[2], m[4], m[6], m[8], drop];
        } else {
            const d = /^(-?)(\d{8})$/.exec(t);
            if (!d) {
                return null;
            }
            m = [t, d[1], d[2].slice(0, 2), d[2].slice(2, 4), d[2].slice(4, 6), d[2].slice(6),
                 false];
        }
        const p = [m[2], m[3], m[4], m[5]].map((x) => pad2(Number(x)));
        return m[1] + p[0] + ":" + p[1] + ":" + p[2] + (m[6] ? ";" : ":") + p[3];
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
        const init = { method, headers: authorised() };
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
            const e = new Error(why + " (HTTP " + reply.status + ")");
            e.status = reply.status;
            e.words = why;
            throw e;
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
            return await request("POST", "/api/decks/" + encodeURIComponent(target) + "/" + action,
                                 body || {});
        } catch (e) {
            // 409: the deck refused it, in its own words.
            say((label || action) + ": " + (e.status === 409 ? e.words : e.message), true);
            return null;
        }
    }

    // ---- artwork ----

    // `data-shows` names the bitmap an image shows, or is about to once fetched.
    function setArt(img, name) {
        if (img.dataset.shows === name) {
            return;
        }
        img.dataset.shows = name;
        artBlob(name).then((url) => {
            if (img.dataset.shows === name) {
                img.src = url;
            }
        }, (e) => say("the bitmap " + name + " could not be loaded: " + e.message, true));
    }

    function drawStaticArt() {
        document.querySelectorAll("img[data-art]").forEach((img) => setArt(img, img.dataset.art));
        document.querySelectorAll("[data-up]").forEach((b) => {
            setArt(b.querySelector("img"), b.dataset.up);
            // Fetch the pressed face now, so pressing shows it at once.
            artBlob(b.dataset.down).catch(() => {});
        });
        artBlob("IDB_BUTTON_U").catch(() => {});
        setArt($("lamp"), "IDB_BUTTON_D");
        artBlob("#1001").then((url) => {
            $("icon").href = url;
        }, () => {});
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
            const active = deck && keyOf(deck) === port;
            // A tab whose look differs from the bitmap's at that place gets the other look,
            // cut from the same bitmap.
            const want = active ? ACTIVE_TAB_LEFT : INACTIVE_TAB_LEFT;
            if (want !== left && (deck || i === 0)) {
                artBlob("#15001").then((url) => {
                    tab.style.backgroundImage = 'url("' + url + '")';
                }, () => {});
                tab.style.backgroundPosition = -want + "px -4px";
            }
            if (deck) {
                tab.textContent = deck.machine ? nameOf(deck) : "DECK " + deck.port;
                tab.title = (deck.machine ? "Machine " + deck.machine + ", port " : "Port ") +
                            deck.port + (deck.device ? " (" + deck.device + ")" : "");
                tab.classList.toggle("active", active);
                tab.addEventListener("click", () => select(keyOf(deck)));
            } else {
                tab.classList.add("empty");
                tab.tabIndex = -1;
                tab.disabled = true;
            }
            box.appendChild(tab);
        });
        const sel = $("deck-select");
        sel.hidden = decks.length <= TAB_LEFT.length;
        const wanted = decks.map((d) => keyOf(d) + (d.machineOnline === false ? "-" : "")).join(",");
        if (sel.dataset.ports !== wanted) {
            sel.textContent = "";
            // A hub's decks are grouped by machine.
            const groups = new Map();
            decks.forEach((d) => {
                const o = document.createElement("option");
                o.value = keyOf(d);
                o.textContent = nameOf(d) + (d.device ? " - " + d.device : "");
                if (!d.machine) {
                    sel.appendChild(o);
                    return;
                }
                if (!groups.has(d.machine)) {
                    const g = document.createElement("optgroup");
                    g.label = d.machine + (d.machineOnline === false ? " (offline)" : "");
                    groups.set(d.machine, g);
                    sel.appendChild(g);
                }
                groups.get(d.machine).appendChild(o);
            });
            sel.dataset.ports = wanted;
        }
        if (port !== null) {
            sel.value = port;
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

        let where = (deck.machine ? deck.machine + " port " : "Port ") + deck.port +
                    (deck.device ? " " + deck.device : "");
        if (deck.resolution > 1) {
            where += " \u00b7 frame pairs";  // each time shown stands for 2 frames
        }
        showRate(deck);
        if (deck.machineClash) {
            where += " \u00b7 " + deck.machineClash;  // another server tried its name
        }
        if (deck.machineOnline === false) {
            where += " \u00b7 machine offline";
        } else if (!deck.connected) {
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
        const key = keyOf(deck);
        const was = wasAnswering.get(key);
        const now = deck.connected && deck.answering;
        if (was === false && now) {
            say(nameOf(deck) + " answers again", false);
        }
        wasAnswering.set(key, now);
        if (deck.error && deck.errorSeq !== lastErrorSeq.get(key)) {
            say(nameOf(deck) + ": " + deck.error, true);
        }
        lastErrorSeq.set(key, deck.errorSeq);
    }

    // ---- the deck's rate ----

    function showRate(deck) {
        const select = $("rate");
        if (document.activeElement !== select && deck.rate) {
            select.value = deck.rate;
        }
        select.title = "frame rate of " + nameOf(deck) + ": " + (deck.fps || 25).toFixed(3) +
                       " fps" + (deck.dropFrame ? ", drop frame" : "") +
                       (deck.resolution > 1 ? "; the line carries frame pairs, so times " +
                        "go by " + deck.resolution + " frames" : "");
    }

    function changeRate() {
        const deck = current();
        if (deck) {
            act("rate", { rate: $("rate").value }, "rate " + $("rate").value);
        }
    }

    // ---- the event stream ----

    // A server on a broker says how its link is; the line under the header says when it is
    // down, and why.
    function showBroker(link) {
        const down = link && !link.connected;
        if (down || $("link").dataset.broker) {
            setText("link", down ? "broker: " + (link.error || "not connected") : "");
            $("link").dataset.broker = down ? "1" : "";
        }
    }

    let tabsDrawn = "";

    function applyDecks(list) {
        decks = Array.isArray(list) ? list : [];
        if (port === null || !decks.some((d) => keyOf(d) === port)) {
            let saved = null;
            try {
                saved = sessionStorage.getItem("deck-port");
            } catch (e) {
                saved = null;
            }
            const found = decks.find((d) => keyOf(d) === saved);
            port = found ? keyOf(found) : decks.length ? keyOf(decks[0]) : null;
        }
        // The tabs change only with the list of decks or the choice, not with every frame.
        const sig = port + "|" + decks.map((d) => keyOf(d) + "=" + (d.device || "") +
                                           (d.machineOnline === false ? "-" : "")).join(",");
        if (sig !== tabsDrawn) {
            tabsDrawn = sig;
            drawTabs();
        }
        if (captureOn && batchPort !== port) {
            drawBatch();
        }
        render();
    }

    // The event stream, read with fetch so that it carries the token as the other requests do;
    // events, `open` and `error` reach the listeners as an EventSource's would, and it
    // reconnects after the delay the server's `retry:` asks for.
    function eventStream(path) {
        const listeners = new Map();
        let retry = 1000;
        const emit = (type, data) => (listeners.get(type) || []).forEach((fn) => fn({ data }));

        // One event: its lines up to the blank line that ends it.
        function dispatch(block) {
            let type = "message";
            const data = [];
            for (const line of block.split("\n")) {
                if (line === "" || line.startsWith(":")) {
                    continue;
                }
                const colon = line.indexOf(":");
                const field = colon < 0 ? line : line.slice(0, colon);
                let value = colon < 0 ? "" : line.slice(colon + 1);
                if (value.startsWith(" ")) {
                    value = value.slice(1);
                }
                if (field === "event") {
                    type = value;
                } else if (field === "data") {
                    data.push(value);
                } else if (field === "retry" && /^\d+$/.test(value)) {
                    retry = Number(value);
                }
            }
            if (data.length) {
                emit(type, data.join("\n"));
            }
        }

        async function run() {
            try {
                const reply = await fetch(path, { headers: authorised(), cache: "no-store" });
                if (!reply.ok || !reply.body) {
                    let why = "HTTP " + reply.status;
                    try {
                        why = (await reply.json()).error + " (" + why + ")";
                    } catch (e) {
                        // not JSON: the status says it
                    }
                    throw new Error(why);
                }
                emit("open");
                const reader = reply.body.getReader();
                const decoder = new TextDecoder();
                let text = "";
                let from = 0;  // what was searched already: a whole log comes in many pieces
                for (;;) {
                    const { value, done } = await reader.read();
                    if (done) {
                        break;
                    }
                    // The server ends its lines with \n alone.
                    text += decoder.decode(value, { stream: true });
                    let end;
                    while ((end = text.indexOf("\n\n", from)) >= 0) {
                        dispatch(text.slice(0, end));
                        text = text.slice(end + 2);
                        from = 0;
                    }
                    from = Math.max(0, text.length - 1);
                }
                emit("error");
            } catch (e) {
                emit("error", e.message);
            }
            setTimeout(run, retry);
        }

        setTimeout(run, 0);
        return {
            addEventListener(type, fn) {
                listeners.set(type, (listeners.get(type) || []).concat([fn]));
            },
        };
    }

    function connectStream() {
        const es = eventStream("/api/events");
        es.addEventListener("open", () => {
            streamUp = true;
            setText("link", "");
            render();
            loadCapture();  // what the server allows may have changed while it was away
        });
        es.addEventListener("decks", (e) => {
            streamUp = true;
            try {
                const update = JSON.parse(e.data);
                showBroker(update.broker);
                applyDecks(update.decks);
            } catch (err) {
                say("a deck update could not be read: " + err.message, true);
            }
        });
        es.addEventListener("log", (e) => {
            try {
                const log = JSON.parse(e.data);
                clipsSeq = typeof log.seq === "number" ? log.seq : -1;
                applyClips(log.clips);
            } catch (err) {
                say("a log update could not be read: " + err.message, true);
            }
        });
        // After the whole log on connect, only the clips that changed; a change the whole
        // log already held (saved while it was made) is skipped.
        es.addEventListener("clips", (e) => {
            try {
                const change = JSON.parse(e.data);
                if (typeof change.seq === "number") {
                    if (change.seq <= clipsSeq) {
                        return;
                    }
                    clipsSeq = change.seq;
                }
                applyClipChanges(change);
            } catch (err) {
                say("a log update could not be read: " + err.message, true);
            }
        });
        es.addEventListener("capture", (e) => {
            try {
                applyBatch(JSON.parse(e.data));
            } catch (err) {
                say("a capture update could not be read: " + err.message, true);
            }
        });
        es.addEventListener("preview", (e) => {
            try {
                onPreview(JSON.parse(e.data));
            } catch (err) {
                say("a preview update could not be read: " + err.message, true);
            }
        });
        es.addEventListener("error", () => {
            // The stream retries by itself; meanwhile the panel must not look live.
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
        return !!a && a.tagName === "INPUT" && a.type !== "checkbox" && $("clips").contains(a);
    }

    function drawClips() {
        clipsDirty = false;
        const body = $("clips").tBodies[0];
        body.textContent = "";
        for (const clip of clips) {
            body.appendChild(clipRow(clip));
        }
        $("no-clips").hidden = clips.length > 0;
        showPicked();
    }

    // A row of the log: the number, a field to edit per column (the duration only shown), and
    // the delete button.
    function clipRow(clip) {
        const tr = document.createElement("tr");
        tr.dataset.id = String(clip.id);
        tr.appendChild(pickCell(clip));
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
            clip = { port: deck.port, machine: deck.machine, name, in: at, out: at, note: text };
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
            clip = { port: deck.port, machine: deck.machine, name, in: deck.markInTime,
                     out: deck.markOutTime,
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

    // An export: fetched with the token, then saved under the link's file name.
    async function save(link) {
        try {
            const reply = await fetch(link.getAttribute("href"), { headers: authorised() });
            if (!reply.ok) {
                let why = reply.statusText;
                try {
                    why = (await reply.json()).error;
                } catch (e) {
                    // not JSON: the status says it
                }
                throw new Error(why + " (HTTP " + reply.status + ")");
            }
            const url = URL.createObjectURL(await reply.blob());
            const a = document.createElement("a");
            a.href = url;
            a.download = link.getAttribute("download") || "";
            document.body.appendChild(a);
            a.click();
            a.remove();
            setTimeout(() => URL.revokeObjectURL(url), 10000);
        } catch (e) {
            say(link.textContent.toLowerCase() + ": " + e.message, true);
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
        for (const id of ["export-csv", "export-edl"]) {
            $(id).addEventListener("click", (e) => {
                e.preventDefault();
                save(e.currentTarget);
            });
        }
        $("import-csv").addEventListener("change", (e) => {
            const f = e.target.files && e.target.files[0];
            if (f) {
                importCsv(f);
            }
            e.target.value = "";
        });
    }

    // ---- capture: the clips ticked in the log, from this deck, into files ----

    const picked = new Set();   // clip ids ticked for capture
    const batches = new Map();  // deck key -> its last batch, as the server last sent it
    const batchSeen = new Map();  // batch id -> its state when last drawn, for the news
    let captureOn = false;

    // The log's first cell: the tick box that picks a clip for capture.
    function pickCell(clip) {
        const td = document.createElement("td");
        td.className = "sel";
        const box = document.createElement("input");
        box.type = "checkbox";
        box.checked = picked.has(clip.id);
        box.setAttribute("aria-label", "capture clip " + clip.id);
        box.addEventListener("change", () => {
            if (box.checked) {
                picked.add(clip.id);
            } else {
                picked.delete(clip.id);
            }
            showPicked();
        });
        td.appendChild(box);
        return td;
    }

    function showPicked() {
        const ids = new Set(clips.map((c) => c.id));
        for (const id of [...picked]) {
            if (!ids.has(id)) {
                picked.delete(id);  // deleted from the log meanwhile
            }
        }
        setText("cap-picked", picked.size ? picked.size + (picked.size === 1 ? " clip" : " clips") +
                              " ticked" : "tick clips in the log to capture them");
    }

    // What the server allows: its inputs and the folders below its capture folder.
    async function loadCapture() {
        let r;
        try {
            r = await request("GET", "/api/capture");
        } catch (e) {
            return;  // an older server, or a hub's: no capture
        }
        captureOn = !!(r && r.inputs && r.inputs.length);
        $("capture").hidden = !captureOn;
        document.body.classList.toggle("can-capture", captureOn);
        if (!captureOn) {
            return;
        }
        const sel = $("cap-input");
        const was = sel.value;
        sel.textContent = "";
        for (const input of r.inputs) {
            const o = document.createElement("option");
            o.value = o.textContent = input;
            sel.appendChild(o);
        }
        if (r.inputs.includes(was)) {
            sel.value = was;
        }
        const list = $("cap-folders");
        list.textContent = "";
        for (const f of r.folders || []) {
            const o = document.createElement("option");
            o.value = f;
            list.appendChild(o);
        }
        (r.batches || []).forEach(applyBatch);
        showPicked();
        drawBatch();
    }

    function applyBatch(batch) {
        if (!batch || typeof batch.port !== "number") {
            return;
        }
        const key = String(batch.port);
        const had = batches.get(key);
        if (had && (had.id > batch.id || (had.id === batch.id && had.seq > batch.seq))) {
            return;  // late news of an older batch, or of an older state of this one
        }
        batches.set(key, batch);
        if (batch.state === "running" && batch.port === previewOpen) {
            previewOpen = null;  // the capture took the input over
            $("cap-look").textContent = "Preview";
        }
        if (key === port) {
            drawBatch();
        }
    }

    function captureOptions(deck) {
        const options = { port: deck.port, input: $("cap-input").value,
                          preroll: Number($("cap-preroll").value) };
        const ltc = $("cap-ltc").value.trim();
        if (ltc) {
            options.ltcChannel = Number(ltc);
        }
        return options;
    }

    async function startCapture() {
        const deck = current();
        if (!deck) {
            return;
        }
        const ids = clips.filter((c) => picked.has(c.id)).map((c) => c.id);
        if (!ids.length) {
            say("capture: tick the clips to capture in the log", true);
            return;
        }
        const body = Object.assign(captureOptions(deck), {
            clips: ids, folder: $("cap-folder").value.trim(),
            handles: Number($("cap-handles").value), retries: Number($("cap-retries").value) });
        try {
            applyBatch(await request("POST", "/api/capture", body));
            say("capturing " + ids.length + (ids.length === 1 ? " clip" : " clips") + " on " +
                nameOf(deck), false);
        } catch (e) {
            say("capture: " + (e.words || e.message), true);
        }
    }

    async function calibrate() {
        const deck = current();
        if (!deck) {
            return;
        }
        try {
            applyBatch(await request("POST", "/api/capture/calibrate", captureOptions(deck)));
            say("calibrating " + nameOf(deck) + " with " + $("cap-input").value, false);
        } catch (e) {
            say("calibrate: " + (e.words || e.message), true);
        }
    }

    async function cancelCapture() {
        const deck = current();
        if (!deck) {
            return;
        }
        try {
            await request("POST", "/api/capture/cancel", { port: deck.port });
        } catch (e) {
            say("cancel: " + (e.words || e.message), true);
        }
    }

    const PHASE_WORDS = { waiting: "waiting", cue: "cueing", preroll: "preroll",
                          capture: "capturing", finish: "writing" };

    function cell(tr, text, cls, title) {
        const td = document.createElement("td");
        td.textContent = text === null || text === undefined ? "" : String(text);
        if (cls) {
            td.className = cls;
        }
        if (title) {
            td.title = title;
        }
        tr.appendChild(td);
        return td;
    }

    // One clip of the batch: its bar while it runs, then its report.
    function batchRow(clip) {
        const r = clip.report;
        const tr = document.createElement("tr");
        tr.dataset.id = String(clip.id);
        tr.dataset.phase = clip.phase;
        cell(tr, clip.id, "n");
        cell(tr, clip.name || clip.reel, "", clip.reel);
        const bar = document.createElement("progress");
        bar.className = "cap-bar";
        bar.max = Math.max(1, clip.wanted);
        bar.value = r ? bar.max : Math.min(clip.frames, bar.max);
        cell(tr, "").appendChild(bar);
        qualityCells(tr, clip, r);
        const req = r ? r.requested : { in: clip.in, out: clip.out, frames: clip.wanted };
        const got = r ? r.achieved : {};
        cell(tr, req.in, "mono");
        cell(tr, req.out, "mono");
        cell(tr, req.frames, "n");
        cell(tr, got.in, "mono");
        cell(tr, got.out, "mono");
        cell(tr, r ? got.frames : "", "n");
        cell(tr, r ? r.missing : "", "n");
        cell(tr, r ? r.repeated : "", "n");
        cell(tr, r ? r.breaks.length : "", "n", r ? r.breaks.join("\n") : "");
        cell(tr, r ? r.retries : "", "n", r ? r.attempts.join("\n") : "");
        const words = !r ? PHASE_WORDS[clip.phase] || clip.phase
                         : r.status + (r.reason ? ": " + r.reason : "");
        cell(tr, words, r ? (r.status === "captured" ? "good" : "bad") : "", words);
        const file = r && r.file ? r.file : "";
        cell(tr, file.split("/").pop(), "", file);
        return tr;
    }

    // ---- the input as the capture sees it, and each clip's quality ----

    const DB_FLOOR = -60;
    let previewShown = 0;      // the seq of the picture shown
    let previewBusy = false;   // one fetch at a time: pictures that come meanwhile are skipped
    let previewUrl = null;
    let previewPort = null;
    const holds = [];          // per channel: the peak held, and when
    const graphs = new Map();  // "batch/clip" -> the clip's graph, fetched once
    const posters = new Map(); // "batch/clip" -> the poster's blob URL

    function dbY(db, top, height) {
        const v = db === null || db === undefined ? DB_FLOOR : Math.max(DB_FLOOR, Math.min(0, db));
        return top + height * (v / DB_FLOOR);
    }

    // A meter as a broadcast engineer reads it: dBFS from -60 to 0, the RMS as the bar (green,
    // then amber past -18, red past -9), the peak as a line and its hold for two seconds.
    function drawMeters(levels) {
        const c = $("cap-meters");
        const g = c.getContext("2d");
        const now = performance.now();
        g.fillStyle = "#15181d";
        g.fillRect(0, 0, c.width, c.height);
        const top = 8, height = c.height - 24, left = 34;
        g.font = "10px sans-serif";
        g.fillStyle = "#9aa6b4";
        g.strokeStyle = "#414853";
        for (const db of [0, -6, -9, -18, -20, -30, -40, -60]) {
            const y = dbY(db, top, height);
            g.fillText(String(db), 2, y + 3);
            g.beginPath();
            g.moveTo(left - 4, y);
            g.lineTo(c.width, y);
            g.stroke();
        }
        const n = levels.length;
        const w = n ? Math.max(1, Math.min(28, (c.width - left - 4) / n - 4)) : 0;
        levels.forEach((m, i) => {
            const x = left + i * (w + 4);
            const rms = m.rmsDbfs === null ? DB_FLOOR : m.rmsDbfs;
            for (const [from, to, colour] of [[DB_FLOOR, -18, "#3fa34d"], [-18, -9, "#d8a31a"],
                                              [-9, 0, "#d64545"]]) {
                if (rms > from) {
                    const y0 = dbY(Math.min(rms, to), top, height), y1 = dbY(from, top, height);
                    g.fillStyle = colour;
                    g.fillRect(x, y0, w, y1 - y0);
                }
            }
            const peak = m.peakDbfs === null ? DB_FLOOR : m.peakDbfs;
            const h = holds[i] || { db: DB_FLOOR, at: 0 };
            // The hold falls at 20 dB a second once two seconds have passed.
            const held = h.db - Math.max(0, (now - h.at - 2000) / 1000) * 20;
            holds[i] = peak >= held ? { db: peak, at: now } : h;
            g.fillStyle = "#e8ecf1";
            g.fillRect(x, dbY(peak, top, height) - 1, w, 2);
            g.fillStyle = peak >= 0 || held >= -0.1 ? "#ff5555" : "#f2d16b";
            g.fillRect(x, dbY(Math.max(peak, held), top, height) - 1, w, 2);
            g.fillStyle = "#9aa6b4";
            g.fillText(String(i + 1), x + w / 2 - 3, c.height - 4);
        });
        c.dataset.levels = JSON.stringify(levels);
    }

    async function fetchPreview(deckPort) {
        previewBusy = true;
        try {
            const reply = await fetch("/api/capture/preview?port=" + deckPort,
                                      { headers: authorised() });
            if (!reply.ok) {
                return;
            }
            const seq = Number(reply.headers.get("X-Preview-Seq")) || 0;
            const blob = await reply.blob();
            if (String(deckPort) !== port) {
                return;  // another deck is shown now
            }
            const url = URL.createObjectURL(blob);
            const img = $("cap-preview");
            const old = previewUrl;
            previewUrl = url;
            img.src = url;
            img.dataset.seq = String(seq);
            previewShown = seq;
            if (old) {
                URL.revokeObjectURL(old);
            }
        } catch (e) {
            // the next picture tries again
        } finally {
            previewBusy = false;
        }
    }

    function onPreview(p) {
        if (String(p.port) !== port) {
            return;
        }
        // Another deck, or a server that started again and counts from 1.
        if (previewPort !== port || p.seq < previewShown) {
            previewPort = port;
            previewShown = 0;
            holds.length = 0;
        }
        drawMeters(p.meters || []);
        setText("cap-preview-words", "deck " + p.port + ": " + p.width + "x" + p.height +
                " preview, " + (p.meters || []).length + " ch");
        if (p.seq > previewShown && !previewBusy) {
            fetchPreview(p.port);
        }
    }

    let previewOpen = null;  // the deck whose input the page opened for its preview

    // Preview opens the input to check the signal; pressed again, it closes it.
    async function togglePreview() {
        const deck = current();
        if (!deck) {
            return;
        }
        try {
            if (previewOpen === deck.port) {
                previewOpen = null;
                $("cap-look").textContent = "Preview";
                await request("DELETE", "/api/capture/preview?port=" + deck.port);
                setText("cap-preview-words", "preview closed");
                return;
            }
            const r = await request("POST", "/api/capture/preview",
                                    { port: deck.port, input: $("cap-input").value });
            if (r.source === "preview") {
                previewOpen = deck.port;
                $("cap-look").textContent = "Close preview";
            }
            say("preview of " + r.input + (r.source === "capture" ? " (the capture's)" : ""),
                false);
        } catch (e) {
            say("preview: " + (e.words || e.message), true);
        }
    }

    // A clip's graph: the luma's range and mean above, each channel's peak below, the flagged
    // stretches shaded.
    function drawGraph(canvas, graph, quality) {
        const g = canvas.getContext("2d");
        const w = canvas.width, h = canvas.height;
        const n = graph.timecodes.length;
        g.fillStyle = "#15181d";
        g.fillRect(0, 0, w, h);
        if (!n) {
            return;
        }
        const full = Math.pow(2, quality.bitDepth || 8) - 1;
        const split = Math.round(h * 0.6);
        const x = (i) => (i + 0.5) * w / n;
        // The picture's flags shaded over the luma, the sound's over the peaks: silence amber,
        // the rest red.
        for (const f of quality.flags || []) {
            const sound = f.channel > 0;
            g.fillStyle = f.flag === "silent" ? "rgba(216, 163, 26, 0.25)"
                                              : "rgba(214, 69, 69, 0.45)";
            for (const [a, b] of f.stretches) {
                const x0 = Math.floor(a / graph.every) * w / n;
                const x1 = (Math.floor(b / graph.every) + 1) * w / n;
                g.fillRect(x0, sound ? split : 0, Math.max(1, x1 - x0), sound ? h - split : split);
            }
        }
        g.fillStyle = "#5a6472";
        for (let i = 0; i < n; i++) {
            const y0 = split * (1 - graph.ymax[i] / full), y1 = split * (1 - graph.ymin[i] / full);
            g.fillRect(i * w / n, y0, Math.max(1, w / n), Math.max(1, y1 - y0));
        }
        const line = (values, colour, y) => {
            g.strokeStyle = colour;
            g.beginPath();
            values.forEach((v, i) => (i ? g.lineTo : g.moveTo).call(g, x(i), y(v)));
            g.stroke();
        };
        line(graph.yavg, "#e8ecf1", (v) => split * (1 - v / full));
        const colours = ["#3fa34d", "#4a90d9", "#d8a31a", "#c46bd6", "#6bd6c4", "#d66b6b"];
        graph.peaks.forEach((p, c) => line(p, colours[c % colours.length],
                                           (v) => dbY(v, split + 2, h - split - 4)));
    }

    // Each clip's graph and poster are asked for once (a failure too is kept), whatever the
    // batch's news redraws meanwhile; a deck's new batch lets the last one's go.
    function forgetOthers(cache, batchId, release) {
        for (const [key, value] of cache) {
            if (!key.startsWith(batchId + "/")) {
                cache.delete(key);
                if (release) {
                    value.then((url) => url && URL.revokeObjectURL(url));
                }
            }
        }
    }

    function graphKey(clip) {
        const b = batches.get(port);
        return (b ? b.id : 0) + "/" + clip.id;
    }

    async function loadGraph(clip, canvas, quality) {
        const key = graphKey(clip);
        if (!graphs.has(key)) {
            forgetOthers(graphs, key.split("/")[0], false);
            graphs.set(key, request("GET", "/api/capture/graph?port=" + port + "&clip=" +
                                    clip.id).catch(() => null));
        }
        const graph = await graphs.get(key);
        if (graph) {
            drawGraph(canvas, graph, quality);
            canvas.dataset.points = String(graph.timecodes.length);
        }
    }

    async function loadPoster(clip, img) {
        const key = graphKey(clip);
        if (!posters.has(key)) {
            forgetOthers(posters, key.split("/")[0], true);
            posters.set(key, fetch("/api/capture/poster?port=" + port + "&clip=" + clip.id,
                                   { headers: authorised() })
                .then((reply) => (reply.ok ? reply.blob() : null))
                .then((blob) => (blob ? URL.createObjectURL(blob) : null))
                .catch(() => null));
        }
        const url = await posters.get(key);
        if (url) {
            img.src = url;
        }
    }

    async function showGraph(clip, quality) {
        const graph = await graphs.get(graphKey(clip));
        if (!graph) {
            return;
        }
        const big = $("cap-graph-big");
        drawGraph(big, graph, quality);
        const words = (quality.flags || []).map((f) => f.words).join("; ") || "no flags";
        setText("cap-graph-at", words);
        big.onmousemove = (e) => {
            const rect = big.getBoundingClientRect();
            const i = Math.max(0, Math.min(graph.timecodes.length - 1, Math.floor(
                (e.clientX - rect.left) / rect.width * graph.timecodes.length)));
            const peaks = graph.peaks.map((p, c) => "ch " + (c + 1) + " " +
                                          (p[i] === null ? "silent" : p[i] + " dBFS"));
            setText("cap-graph-at", graph.timecodes[i] + "  luma " + graph.ymin[i] + "/" +
                    graph.yavg[i] + "/" + graph.ymax[i] + "  " + peaks.join(", "));
        };
        $("cap-graph-dialog").showModal();
    }

    // A clip's quality: its graph (click for a larger one) and its flags in words; its poster.
    function qualityCells(tr, clip, r) {
        const q = r && r.quality;
        const td = cell(tr, "");
        const poster = cell(tr, "");
        if (!q || r.status !== "captured") {
            return;
        }
        const words = (q.flags || []).map((f) => f.words).join("\n") || "no flags";
        td.title = words + (q.error ? "\n" + q.error : "");
        const canvas = document.createElement("canvas");
        canvas.className = "cap-graph";
        canvas.width = 120;
        canvas.height = 36;
        canvas.setAttribute("aria-label", "quality of clip " + clip.id + ": " + words);
        canvas.addEventListener("click", () => showGraph(clip, q));
        td.appendChild(canvas);
        loadGraph(clip, canvas, q);
        if (q.poster) {
            const img = document.createElement("img");
            img.className = "cap-poster";
            img.alt = "poster frame of clip " + clip.id;
            poster.appendChild(img);
            loadPoster(clip, img);
        }
    }

    function batchWords(b) {
        if (b.kind === "calibrate") {
            const c = b.calibration;
            return b.state === "running" ? "calibrating with " + b.input
                 : c && c.stored ? "capture offset " + c.offsetMs + " ms stored (spread " +
                                   c.spreadMs + " ms over " + c.frames + " frames)"
                 : "calibration " + b.state + (b.error ? ": " + b.error : "");
        }
        const n = b.clips.length;
        if (b.state === "running") {
            return "capturing clip " + (b.clip + 1) + " of " + n + " into " + (b.folder || "the " +
                   "capture folder");
        }
        return b.state + ": " + b.captured + " of " + n + (n === 1 ? " clip" : " clips") +
               " captured" + (b.error ? "; " + b.error : "");
    }

    let batchPort = null;  // the deck whose batch is drawn

    function drawBatch() {
        batchPort = port;
        const b = batches.get(port);
        const body = $("cap-report").tBodies[0];
        body.textContent = "";
        $("cap-batch").value = b && b.wanted ? b.frames / b.wanted : 0;
        setText("cap-words", b ? batchWords(b) : "");
        $("cap-words").className = b && b.state === "failed" ? "bad" : "";
        const running = !!b && b.state === "running";
        $("cap-start").disabled = running;
        $("cap-calibrate").disabled = running;
        $("cap-cancel").disabled = !running;
        if (!b) {
            return;
        }
        for (const clip of b.clips) {
            body.appendChild(batchRow(clip));
        }
        // Once, when a batch of this deck ends: what came of it.
        const was = batchSeen.get(b.id);
        batchSeen.set(b.id, b.state);
        if (was === "running" && b.state !== "running") {
            say("Deck " + b.port + ": " + batchWords(b), b.state === "failed");
            loadCapture();  // a folder it made is one to choose now
        }
    }

    function setupCapture() {
        $("cap-form").addEventListener("submit", (e) => {
            e.preventDefault();
            startCapture();
        });
        $("cap-cancel").addEventListener("click", cancelCapture);
        $("cap-calibrate").addEventListener("click", calibrate);
        $("cap-look").addEventListener("click", togglePreview);
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
        $("deck-select").addEventListener("change", (e) => select(e.target.value));
        setupShuttle();
        setupCueField();
        setupKeys();
        setupLog();
        setupCapture();
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
