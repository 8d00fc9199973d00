// The bridge reads its port from the settings file under the same rule as the agent's
// probe: when the two disagree, the menu shows "○ Not connected" beside a healthy bridge.

import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { describe, it } from "node:test";
import { fileURLToPath } from "node:url";

import { bridgePort, homeDirectory } from "../../resources/server.mjs";
import { defaultPort, makeHome, settingsFile, withDeadline, writeSettings } from "./support.mjs";

// The table of settings texts and ports the agent's tests read too.
const table = JSON.parse(fs.readFileSync(
    fileURLToPath(new URL("../resources/settings_port_cases.json", import.meta.url)), "utf8"));

// A byte value of the table: a string (UTF-8), {hex}, {repeat, times}, or a list joined.
function bytesOf(value)
{
    if (typeof value === "string")
        return Buffer.from(value, "utf8");
    if (Array.isArray(value))
        return Buffer.concat(value.map(bytesOf));
    if (value.hex !== undefined)
        return Buffer.from(value.hex, "hex");
    return Buffer.concat(Array(value.times).fill(bytesOf(value.repeat)));
}

function expectPort(t, content, expected)
{
    const home = makeHome(t);
    writeSettings(home, content);
    const port = bridgePort(home);
    assert.equal(typeof port, "bigint");
    assert.equal(String(port), String(expected), `with settings ${JSON.stringify(String(content))} `
        + `the bridge would listen on ${port} while the agent probes ${expected}`);
}

// Runs the bridge's port rule in a node of its own whose HOME holds exactly these bytes
// (node cannot pass bytes that are not UTF-8 to a child itself; printf can).
function portWithHome(home)
{
    const escaped = [...home].map((byte) => "\\" + byte.toString(8).padStart(3, "0")).join("");
    const env = { ...process.env, SL_HOME: escaped,
        SL_BRIDGE_URL: new URL("../../resources/server.mjs", import.meta.url).href,
        SL_CODE: "const { bridgePort } = await import(process.env.SL_BRIDGE_URL);"
            + " console.log(String(bridgePort()));" };
    delete env.NODE_TEST_CONTEXT;
    delete env.NODE_OPTIONS;
    const result = spawnSync("/bin/sh",
        ["-c", 'HOME="$(printf "$SL_HOME")" exec "$0" --input-type=module -e "$SL_CODE"',
            process.execPath], { env, encoding: "utf8", timeout: 10_000 });
    assert.equal(result.status, 0, `the port rule failed: ${result.stderr}`);
    return result.stdout.trim();
}

describe("every settings text gives the port the agent takes", () => {
    for (const { name, text, port } of table.cases.filter((c) => c.home === undefined))
        it(`for ${name}`, (t) => expectPort(t, bytesOf(text), port));
});

describe("the settings file is looked for where the agent looks", () => {
    for (const entry of table.cases.filter((c) => c.home !== undefined)) {
        it(`with ${entry.name}`, (t) => {
            const directory = Buffer.from(makeHome(t) + "/");
            const below = (value) => Buffer.concat([directory, bytesOf(value)]);
            for (const [link, target] of entry.links ?? []) {
                fs.mkdirSync(below(target), { recursive: true });
                fs.symlinkSync(bytesOf(target), below(link));
            }
            const file = Buffer.concat([below(entry.settingsIn ?? entry.home),
                Buffer.from("/Library/Application Support/ShadeLedger/zizadezavav.json")]);
            fs.mkdirSync(dirnameOf(file), { recursive: true });
            fs.writeFileSync(file, bytesOf(entry.text));
            assert.equal(portWithHome(below(entry.home)), entry.port);
        });
    }
});

// The directory part of a path given as bytes.
function dirnameOf(file)
{
    return file.subarray(0, file.lastIndexOf(0x2f));
}

describe("only a regular file of at most 1 MiB is read", () => {
    const mib = 1024 * 1024;

    it("reads a file of exactly 1 MiB", (t) => {
        const text = '{"port": 8080}';
        expectPort(t, text + " ".repeat(mib - text.length), 8080);
    });

    it("ignores a valid file of 2 MiB", (t) => {
        const text = '{"port": 8080}';
        expectPort(t, text + " ".repeat(2 * mib - text.length), defaultPort);
    });

    it("ignores a directory in the file's place", (t) => {
        const home = makeHome(t);
        fs.mkdirSync(settingsFile(home), { recursive: true });
        assert.equal(bridgePort(home), BigInt(defaultPort));
    });

    it("follows a symbolic link to a valid file", (t) => {
        const home = makeHome(t);
        const target = path.join(home, "elsewhere.json");
        fs.writeFileSync(target, '{"port": 8080}');
        fs.mkdirSync(path.dirname(settingsFile(home)), { recursive: true });
        fs.symlinkSync(target, settingsFile(home));
        assert.equal(bridgePort(home), 8080n);
    });

    it("ignores a dangling symbolic link", (t) => {
        const home = makeHome(t);
        fs.mkdirSync(path.dirname(settingsFile(home)), { recursive: true });
        fs.symlinkSync(path.join(home, "missing.json"), settingsFile(home));
        assert.equal(bridgePort(home), BigInt(defaultPort));
    });

    it("returns at once for a FIFO nobody writes to", async (t) => {
        const home = makeHome(t);
        const file = settingsFile(home);
        fs.mkdirSync(path.dirname(file), { recursive: true });
        await new Promise((resolve, reject) => {
            spawn("mkfifo", [file], { stdio: "ignore" }).on("error", reject).on("exit", (code) =>
                code === 0 ? resolve() : reject(new Error(`mkfifo failed with ${code}`)));
        });
        // A writer that turns up after 3 s frees a reader stuck on the FIFO, so a blocking
        // read shows as a slow answer naming the writer's port instead of a hung test.
        const writeLater = "setTimeout(() => require('fs').writeFileSync(process.argv[1], "
            + "'{\"port\": 1234}'), 3000)";
        const writer = spawn(process.execPath, ["-e", writeLater, file], { stdio: "ignore" });
        const writerGone = new Promise((resolve) => writer.on("close", resolve));
        t.after(() => {
            writer.kill("SIGKILL");
            return withDeadline(writerGone, 10_000, "the FIFO writer did not end");
        });

        const started = performance.now();
        const port = bridgePort(home);
        const elapsed = performance.now() - started;
        assert.equal(port, BigInt(defaultPort), "a FIFO in the settings file's place was read");
        assert.ok(elapsed < 2000,
            `reading the settings file waited ${elapsed.toFixed(0)} ms on a FIFO`);
    });
});

describe("the file is read afresh at every call", () => {
    it("follows a change of port and a removed file", (t) => {
        const home = makeHome(t);
        writeSettings(home, { port: 8080 });
        assert.equal(bridgePort(home), 8080n);
        writeSettings(home, { port: 9090 });
        assert.equal(bridgePort(home), 9090n, "a changed settings file was not read again");
        fs.rmSync(settingsFile(home));
        assert.equal(bridgePort(home), BigInt(defaultPort), "a removed settings file still gave its port");
    });

    it("takes the home directory from HOME", (t) => {
        const home = makeHome(t);
        writeSettings(home, { port: 8080 });
        const saved = process.env.HOME;
        t.after(() => (process.env.HOME = saved));
        process.env.HOME = home;
        assert.equal(bridgePort(), 8080n);
    });

    it("takes the account's home when HOME is empty or relative, as the agent does", (t) => {
        const saved = process.env.HOME;
        t.after(() => (process.env.HOME = saved));
        const account = os.userInfo({ encoding: "buffer" }).homedir;
        for (const home of ["", "relative/home"]) {
            process.env.HOME = home;
            assert.deepEqual(homeDirectory(), account, `with HOME "${home}"`);
        }
    });
});
