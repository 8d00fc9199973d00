// Helpers for the bridge tests: a temporary HOME with a settings file, free ports, a
// bridge child process that is always killed when its test ends, and small HTTP clients.
//
// The agent's clean-up ends every process whose command line contains the bridge's file
// name, so only the bridge child itself may carry it: helpers never spawn a shell or a
// wrapper with that name in its arguments.

import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

export const bridgeScript = fileURLToPath(new URL("../../resources/server.mjs", import.meta.url));
export const resourcesDir = path.dirname(bridgeScript);
export const defaultPort = 47821;

const generousMs = 10_000;

export function makeHome(t)
{
    const home = fs.mkdtempSync(path.join(os.tmpdir(), "sl-bridge-home-"));
    t.after(() => fs.rmSync(home, { recursive: true, force: true }));
    return home;
}

export function settingsFile(home)
{
    return path.join(home, "Library", "Application Support", "ShadeLedger", "zizadezavav.json");
}

// Writes the settings file: text or bytes as they are, anything else as JSON.
export function writeSettings(home, content)
{
    const file = settingsFile(home);
    fs.mkdirSync(path.dirname(file), { recursive: true });
    const asIs = typeof content === "string" || Buffer.isBuffer(content);
    const data = asIs ? content : JSON.stringify(content);
    fs.writeFileSync(file, data);
    return file;
}

// Rejects with `message` when `promise` has not settled within `ms`.
export function withDeadline(promise, ms, message)
{
    let timer;
    const deadline = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`${message} (waited ${ms} ms)`)), ms);
    });
    return Promise.race([promise, deadline]).finally(() => clearTimeout(timer));
}

// Holds 127.0.0.1:port until the test ends. Resolves to false when someone else has it.
export async function occupy(t, port)
{
    const server = net.createServer();
    try {
        await new Promise((resolve, reject) => {
            server.once("error", reject);
            server.listen(port, "127.0.0.1", resolve);
        });
    } catch (error) {
        if (error.code === "EADDRINUSE")
            return false;
        throw error;
    }
    t.after(() => server.close());
    return true;
}

// A port nobody listens on right now, never the default one (another test may hold it).
export async function freePort()
{
    for (;;) {
        const server = net.createServer();
        await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
        const { port } = server.address();
        await new Promise((resolve) => server.close(resolve));
        if (port !== defaultPort)
            return port;
    }
}

// Starts the bridge as the agent does: `node <abs path>`, cwd the resources directory,
// NODE_ENV=production, no arguments; HOME is the given one.
export function spawnBridge(t, home)
{
    const env = { ...process.env, HOME: home, NODE_ENV: "production" };
    delete env.NODE_TEST_CONTEXT;
    delete env.NODE_OPTIONS;
    const stdio = ["ignore", "pipe", "pipe"];
    const child = spawn(process.execPath, [bridgeScript], { cwd: resourcesDir, env, stdio });
    const bridge = { child, stdout: "", stderr: "" };
    child.stdout.setEncoding("utf8").on("data", (text) => (bridge.stdout += text));
    child.stderr.setEncoding("utf8").on("data", (text) => (bridge.stderr += text));
    // Resolves once the process has ended and its output has been read to the end.
    bridge.exited = new Promise((resolve) => {
        child.on("close", (code, signal) => resolve({ code, signal, at: performance.now() }));
    });
    t.after(() => {
        if (child.exitCode === null && child.signalCode === null)
            child.kill("SIGKILL");
        return bridge.exited;
    });
    return bridge;
}

// A bridge that listens on a fresh port named by its settings file.
export async function startBridge(t, port)
{
    port ??= await freePort();
    const home = makeHome(t);
    writeSettings(home, { port });
    const bridge = spawnBridge(t, home);
    bridge.port = port;
    bridge.home = home;
    const listening = new Promise((resolve, reject) => {
        const check = () => {
            if (bridge.stdout.includes("\n")) {
                bridge.child.stdout.off("data", check);
                resolve();
            }
        };
        bridge.child.stdout.on("data", check);
        bridge.exited.then(({ code, signal }) =>
            reject(new Error(`the bridge ended (code ${code}, signal ${signal}) instead of `
                + `listening; it said: ${bridge.stderr}`)));
    });
    await withDeadline(listening, generousMs, "the bridge never said that it listens");
    return bridge;
}

// Runs a bridge that is expected to give up, and returns how it ended.
export async function runUntilExit(t, home)
{
    const bridge = spawnBridge(t, home);
    const { code, signal } = await withDeadline(bridge.exited, generousMs,
        `the bridge kept running; it said: ${bridge.stdout}`);
    return { code, signal, stdout: bridge.stdout, stderr: bridge.stderr };
}

// One HTTP request on its own connection. `host: null` sends no Host header.
export function request(port, { method = "GET", path = "/health", host = `127.0.0.1:${port}` } = {})
{
    const answer = new Promise((resolve, reject) => {
        const headers = host === null ? {} : { Host: host };
        const options = { host: "127.0.0.1", port, method, path, headers, setHost: false };
        options.agent = false; // a connection of its own, closed after the answer
        const req = http.request(options, (res) => {
            let body = "";
            res.setEncoding("utf8");
            res.on("data", (text) => (body += text));
            res.on("end", () => resolve({ status: res.statusCode, headers: res.headers, body }));
        });
        req.on("error", reject);
        req.end();
    });
    return withDeadline(answer, generousMs, `no answer to ${method} ${path}`);
}

export function connect(port, host = "127.0.0.1")
{
    return new Promise((resolve, reject) => {
        const socket = net.connect({ port, host });
        socket.once("connect", () => resolve(socket));
        socket.once("error", reject);
    });
}

// Resolves with everything the socket has received once it includes `text`.
export function receiveUntil(socket, text)
{
    let received = "";
    const seen = new Promise((resolve, reject) => {
        const onData = (chunk) => {
            received += chunk.toString("latin1");
            if (received.includes(text)) {
                socket.off("data", onData);
                resolve(received);
            }
        };
        socket.on("data", onData);
        socket.once("close", () =>
            reject(new Error(`the connection closed before "${text}" arrived; got: ${received}`)));
    });
    return withDeadline(seen, generousMs, `"${text}" never arrived`);
}

// Sends raw bytes on a new connection and returns all the server sent back before closing.
export async function rawExchange(port, text)
{
    const socket = await connect(port);
    let received = "";
    socket.on("data", (chunk) => (received += chunk.toString("latin1")));
    socket.on("error", () => {}); // a reset still ends in "close"
    const closed = new Promise((resolve) => socket.once("close", resolve));
    socket.write(text);
    await withDeadline(closed, generousMs, "the bridge did not close the connection");
    return received;
}
