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

export const defaultPort = 47821;

const settingsRelativePath = "Library/Application Support/ShadeLedger/zizadezavav.json";
const maxSettingsBytes = 1024 * 1024;
const listenHost = "127.0.0.1";
const shutdownDeadlineMs = 400;

export function settingsPath(home = os.homedir())
{
    return path.join(home, settingsRelativePath);
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

// The port named by the settings file, or 47821 when the file names no usable one.
// Usable: a JSON number with a whole value in the signed 64-bit range (8080.0 and 8.08e3
// are 8080). No range test here: 0, -1 or 70000 come back as they are. When "port" is
// given twice, the last one counts.
//
// JSON.parse reads numbers as doubles, so the range test is made on the parsed value:
// -2^63 <= value < 2^63. Between 2^53 and 2^63 a value is taken as rounded; no such value
// is a TCP port, so the bridge refuses it whatever its last digits. Only a literal within
// 512 of either end of the range can round across it (9223372036854775807 reads as 2^63
// and gives the default port).
export function bridgePort(home = os.homedir())
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
    const port = settings.port;
    if (typeof port !== "number" || !Number.isInteger(port) || port < -(2 ** 63) || port >= 2 ** 63)
        return defaultPort;
    return port;
}

// Host names are case-insensitive; a Host without a port means port 80.
export function isAllowedHost(host, port)
{
    const match = /^(?:127\.0\.0\.1|localhost)(?::(\d{1,5}))?$/i.exec(host ?? "");
    return match !== null && Number(match[1] ?? 80) === port;
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
    const port = bridgePort();
    if (port < 1 || port > 65535) {
        const file = settingsPath();
        console.error(`ShadeLedger bridge: port ${port} in ${file} is outside 1-65535; `
            + "not starting");
        process.exitCode = 2;
        return;
    }

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
