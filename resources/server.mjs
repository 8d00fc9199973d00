// The ShadeLedger bridge: the local companion server that the agent keeps running.
//
// The agent starts it as `node <resources>/server.mjs`, with no arguments, and asks
// GET /health on 127.0.0.1 every few seconds. Both sides read the port from the same
// settings file under the same rule (default 47821), so nothing passes the port around;
// a port the bridge cannot use is reported on standard error and ends it with a non-zero
// status, since the agent's probe could not reach it there either.
//
// Only 127.0.0.1 is listened on, which keeps the bridge off the network. Every request
// must also name 127.0.0.1 or localhost at this port in its Host header: a web page that
// rebinds its own host name to 127.0.0.1 still sends that name, and gets 421. A request
// without exactly one Host header gets 400, as HTTP/1.1 requires.
//
// SIGTERM, SIGINT and SIGHUP end it within half a second, idle keep-alive connections
// and half-sent requests included: Restart Bridge starts the next bridge on the same
// port 0.75 s later.
//
// The module exports its port rule for tests; it only serves when run as the program.

import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

export const defaultPort = 47821n;

const settingsRelativePath = "Library/Application Support/ShadeLedger/zizadezavav.json";
const maxSettingsBytes = 1024 * 1024;
const listenHost = "127.0.0.1";
const shutdownDeadlineMs = 400;

// The home directory as the agent takes it: HOME when it is an absolute path, else the
// account's home from the password database (an empty or relative HOME would put the
// settings file relative to wherever the bridge runs). On Linux HOME is read as the bytes
// it holds: process.env decodes it as UTF-8 and replaces what is not, which names another
// directory. A HOME changed in this process wins over the one it started with.
export function homeDirectory()
{
    let home = process.env.HOME;
    const raw = startingHome();
    if (raw !== undefined && raw.toString() === home)
        home = raw;
    if (home !== undefined && home.length > 0 && home[0] === (typeof home === "string" ? "/" : 0x2f))
        return home;
    try {
        return os.userInfo({ encoding: "buffer" }).homedir;
    } catch {
        return "/";
    }
}

function startingHome()
{
    let environment;
    try {
        environment = fs.readFileSync("/proc/self/environ");
    } catch {
        return undefined;
    }
    const name = Buffer.from("HOME=");
    for (let start = 0; start < environment.length;) {
        let end = environment.indexOf(0, start);
        if (end < 0)
            end = environment.length;
        const entry = environment.subarray(start, end);
        if (entry.subarray(0, name.length).equals(name))
            return Buffer.from(entry.subarray(name.length));
        start = end + 1;
    }
    return undefined;
}

// The settings file below home (a string or bytes), joined as the agent joins it: no
// clean-up of "..", which the file system resolves through links.
export function settingsPath(home = homeDirectory())
{
    const bytes = Buffer.isBuffer(home) ? home : Buffer.from(home);
    const separator = bytes.length > 0 && bytes[bytes.length - 1] === 0x2f ? "" : "/";
    const joined = Buffer.concat([bytes, Buffer.from(separator + settingsRelativePath)]);
    return Buffer.isBuffer(home) ? joined : joined.toString();
}

// Only a regular file (after links) of at most 1 MiB is read, and the open never waits:
// a FIFO or a device in the file's place gives the default port instead of a hang.
function readSettingsText(file)
{
    let fd;
    try {
        fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
        const stat = fs.fstatSync(fd);
        if (!stat.isFile() || stat.size > maxSettingsBytes)
            return undefined;
        // The file may grow after fstat: read one byte past the limit to notice.
        const buffer = Buffer.alloc(maxSettingsBytes + 1);
        let length = 0;
        while (length < buffer.length) {
            const n = fs.readSync(fd, buffer, length, buffer.length - length, null);
            if (n === 0)
                break;
            length += n;
        }
        if (length > maxSettingsBytes)
            return undefined;
        // UTF-8 only: invalid bytes decode to U+FFFD and no longer match. A leading
        // byte-order mark is accepted.
        const bytes = buffer.subarray(0, length);
        const text = bytes.toString("utf8");
        if (!Buffer.from(text, "utf8").equals(bytes))
            return undefined;
        return text.startsWith("\uFEFF") ? text.slice(1) : text;
    } catch {
        return undefined;
    } finally {
        if (fd !== undefined)
            fs.closeSync(fd);
    }
}

// The port named by the settings file, as a BigInt, or 47821n when the file names no
// usable one. Usable: a JSON number with a whole value in the signed 64-bit range (8080.0
// and 8.08e3 are 8080; 8080.0000000000000001 is not whole). No range test here: 0, -1 or
// 70000 come back as they are. When "port" is given twice, the last one counts; every
// other member is ignored, whatever it holds.
//
// JSON.parse judges whether the text is JSON; the number is then taken from its own text,
// since the double JSON.parse makes of it may round a fraction away or a large number off.
export function bridgePort(home = homeDirectory())
{
    const text = readSettingsText(settingsPath(home));
    if (text === undefined)
        return defaultPort;
    let settings;
    try {
        settings = JSON.parse(text);
    } catch {
        return defaultPort;
    }
    if (typeof settings !== "object" || settings === null || Array.isArray(settings))
        return defaultPort;
    const token = portToken(text);
    return (token && wholeNumber(token)) ?? defaultPort;
}

const jsonWhiteSpace = " \t\n\r";
const numberPattern = /-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][+-]?\d+)?/y;

// Where the string token starting at text[start] ends (one past its closing quote).
function stringEnd(text, start)
{
    for (let at = start + 1; ;) {
        const quote = text.indexOf('"', at);
        let backslashes = 0;
        while (text[quote - 1 - backslashes] === "\\")
            backslashes++;
        if (backslashes % 2 === 0)
            return quote + 1;
        at = quote + 1;
    }
}

// The text of the last top-level "port" member's value when it is a number, null when that
// value is something else, undefined when there is no such member. text is a JSON object.
function portToken(text)
{
    let depth = 0;
    let name;
    let token;
    const valueOfPort = (value) => {
        if (depth === 1 && name === "port")
            token = value;
        if (depth === 1)
            name = undefined;
    };
    for (let at = 0; at < text.length;) {
        const c = text[at];
        if (c === '"') {
            const end = stringEnd(text, at);
            let next = end;
            while (jsonWhiteSpace.includes(text[next]))
                next++;
            if (depth === 1 && text[next] === ":") {
                name = JSON.parse(text.slice(at, end));
                at = next + 1;
                continue;
            }
            valueOfPort(null);
            at = end;
        } else if (c === "{" || c === "[") {
            valueOfPort(null);
            depth++;
            at++;
        } else if (c === "}" || c === "]") {
            depth--;
            at++;
        } else if (c === "-" || (c >= "0" && c <= "9")) {
            numberPattern.lastIndex = at;
            const number = numberPattern.exec(text)[0];
            valueOfPort(number);
            at += number.length;
        } else if (c === "t" || c === "f" || c === "n") {
            valueOfPort(null);
            at += c === "f" ? 5 : 4;
        } else {
            at++;
        }
    }
    return token;
}

// The exact whole number a JSON number's text spells, when it lies in the signed 64-bit
// range; null for anything else.
function wholeNumber(token)
{
    const [, sign, whole, fraction = "", written = "0"] =
        /^(-?)(\d+)(?:\.(\d+))?(?:[eE]([+-]?\d+))?$/.exec(token);
    let digits = (whole + fraction).replace(/^0+/, "");
    // Beyond the token's length the exponent cannot be made up for: out of range, or not
    // whole, either way.
    const bound = token.length + 20;
    let exponent = Math.max(-bound, Math.min(bound, Number(written))) - fraction.length;
    const trimmed = digits.replace(/0+$/, "");
    exponent += digits.length - trimmed.length;
    digits = trimmed;
    if (digits === "")
        return 0n;
    if (exponent < 0 || digits.length + exponent > 19)
        return null;
    const value = BigInt(sign + digits + "0".repeat(exponent));
    return value >= -(2n ** 63n) && value < 2n ** 63n ? value : null;
}

// Host names are case-insensitive; a Host without a port means port 80.
export function isAllowedHost(host, port)
{
    const match = /^(?:127\.0\.0\.1|localhost)(?::(\d{1,5}))?$/i.exec(host ?? "");
    return match !== null && Number(match[1] ?? 80) === Number(port);
}

function send(response, status, body, headers = {})
{
    const text = JSON.stringify(body) + "\n";
    response.writeHead(status, {
        "Content-Type": "application/json; charset=utf-8",
        "Content-Length": Buffer.byteLength(text),
        "Cache-Control": "no-store",
        "X-Content-Type-Options": "nosniff",
        ...headers,
    });
    response.end(text);
}

function handle(request, response, port)
{
    const hostHeaders = request.rawHeaders.filter((name, i) => i % 2 === 0 && /^host$/i.test(name));
    const close = { Connection: "close" };
    if (hostHeaders.length !== 1)
        return send(response, 400, { error: "exactly one Host header is required" }, close);
    if (!isAllowedHost(request.headers.host, port))
        return send(response, 421, { error: "unknown host" }, close);

    const pathname = request.url.split("?", 1)[0];
    if (pathname !== "/health")
        return send(response, 404, { error: "not found" });
    if (request.method !== "GET" && request.method !== "HEAD")
        return send(response, 405, { error: "method not allowed" }, { Allow: "GET, HEAD" });
    send(response, 200, { status: "ok", pid: process.pid, uptime: Math.floor(process.uptime()) });
}

function listenProblem(error, port)
{
    switch (error.code) {
    case "EADDRINUSE":
        return `port ${port} is already in use on ${listenHost} (is another bridge running?)`;
    case "EACCES":
        return `no permission to listen on port ${port}`;
    default:
        return `cannot listen on ${listenHost}:${port}: ${error.message}`;
    }
}

function main()
{
    const setting = bridgePort();
    if (setting < 1n || setting > 65535n) {
        const file = settingsPath().toString();
        console.error(`ShadeLedger bridge: port ${setting} in ${file} is outside 1-65535; `
            + "not starting");
        process.exitCode = 2;
        return;
    }
    const port = Number(setting);

    const server = http.createServer((request, response) => handle(request, response, port));
    // Slow or stalled clients must not hold connections for node's default five minutes.
    server.headersTimeout = 10_000;
    server.requestTimeout = 10_000;

    let stopping = false;
    const stop = (signal) => {
        if (stopping)
            return;
        stopping = true;
        console.log(`ShadeLedger bridge stopping on ${signal}`);
        // Anything still holding the event loop after this is cut short.
        setTimeout(() => process.exit(0), shutdownDeadlineMs).unref();
        server.close(() => {});
        server.closeAllConnections();
    };
    for (const signal of ["SIGTERM", "SIGINT", "SIGHUP"])
        process.on(signal, stop);

    server.on("error", (error) => {
        console.error(`ShadeLedger bridge: ${listenProblem(error, port)}`);
        process.exitCode = 1;
        server.close(() => {});
    });
    server.listen(port, listenHost, () => {
        console.log(`ShadeLedger bridge listening on http://${listenHost}:${port}`);
    });
}

function isMainModule()
{
    try {
        return fs.realpathSync(process.argv[1]) === fs.realpathSync(fileURLToPath(import.meta.url));
    } catch {
        return false;
    }
}

if (isMainModule())
    main();
