// The bridge reads its port from the settings file under the same rule as the agent's
// probe: when the two disagree, the menu shows "○ Not connected" beside a healthy bridge.

import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { describe, it } from "node:test";

import { bridgePort } from "../../resources/server.mjs";
import { defaultPort, makeHome, settingsFile, withDeadline, writeSettings } from "./support.mjs";

function portFor(t, content)
{
    const home = makeHome(t);
    writeSettings(home, content);
    return bridgePort(home);
}

function expectPort(t, content, expected)
{
    const port = portFor(t, content);
    assert.equal(port, expected, `with settings ${JSON.stringify(String(content))} the bridge `
        + `would listen on ${port} while the agent probes ${expected}`);
}

describe("a settings file that names no usable port gives 47821", () => {
    it("when there is no settings file at all", (t) => {
        assert.equal(bridgePort(makeHome(t)), defaultPort);
    });

    const unusable = {
        "an empty file": "",
        "text that is not JSON": "port: 8080",
        "a bare number": "8080",
        "a bare string": '"8080"',
        "an object with no members": "{}",
        "an object without a port": '{"host": "127.0.0.1"}',
        "a port with a fraction": '{"port": 8080.5}',
        "a port written as a string": '{"port": "8080"}',
        "a null port": '{"port": null}',
        "an array as port": '{"port": [8080]}',
        "an empty array as port": '{"port": []}',
        "an object as port": '{"port": {"value": 8080}}',
        "true as port": '{"port": true}',
        "false as port": '{"port": false}',
        "a member named Port, not port": '{"Port": 8080}',
        "an array holding an object with a port": '[{"port": 8080}]',
        "a port above the signed 64-bit range": '{"port": 1e19}',
        "a port below the signed 64-bit range": '{"port": -1e19}',
        "a port too large for a double": '{"port": 1e400}',
        "JSON with trailing garbage": '{"port": 8080} x',
        "a later unusable port": '{"port": 8080, "port": "8081"}',
    };
    for (const [name, content] of Object.entries(unusable))
        it(`for ${name}`, (t) => expectPort(t, content, defaultPort));
});

describe("a usable port is a whole JSON number", () => {
    const usable = [
        ["a plain number", '{"port": 8080}', 8080],
        ["a number beside other members", '{"name": "dev", "port": 8080, "debug": true}', 8080],
        ["a zero fraction", '{"port": 8080.0}', 8080],
        ["an exponent", '{"port": 8.08e3}', 8080],
        ["a negative exponent", '{"port": 808000e-2}', 8080],
        ["the last of two ports", '{"port": 1111, "port": 8080}', 8080],
        ["a leading byte-order mark", '\uFEFF{"port": 8080}', 8080],
        ["surrounding white space", ' \n\t{ "port" : 8080 }\r\n', 8080],
        // No range test in the rule: the bridge refuses these itself, as tested elsewhere.
        ["zero", '{"port": 0}', 0],
        ["a negative number", '{"port": -1}', -1],
        ["a number above 65535", '{"port": 70000}', 70000],
        ["a large number inside the 64-bit range", '{"port": 9e18}', 9e18],
        ["the lowest signed 64-bit number", '{"port": -9223372036854775808}', -(2 ** 63)],
    ];
    for (const [name, content, expected] of usable)
        it(`as ${name}`, (t) => expectPort(t, content, expected));
});

describe("only UTF-8 text is read", () => {
    it("refuses bytes that are not UTF-8", (t) => {
        const start = Buffer.from('{"port": 8080, "name": "');
        const bytes = Buffer.concat([start, Buffer.from([0xff, 0xfe]), Buffer.from('"}')]);
        expectPort(t, bytes, defaultPort);
    });

    it("refuses UTF-16 text, even with its byte-order mark", (t) => {
        const bytes = Buffer.concat(
            [Buffer.from([0xff, 0xfe]), Buffer.from('{"port": 8080}', "utf16le")]);
        expectPort(t, bytes, defaultPort);
    });

    it("accepts non-ASCII text in other members", (t) => {
        expectPort(t, '{"name": "Café ●", "port": 8080}', 8080);
    });
});

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
        assert.equal(bridgePort(home), defaultPort);
    });

    it("follows a symbolic link to a valid file", (t) => {
        const home = makeHome(t);
        const target = path.join(home, "elsewhere.json");
        fs.writeFileSync(target, '{"port": 8080}');
        fs.mkdirSync(path.dirname(settingsFile(home)), { recursive: true });
        fs.symlinkSync(target, settingsFile(home));
        assert.equal(bridgePort(home), 8080);
    });

    it("ignores a dangling symbolic link", (t) => {
        const home = makeHome(t);
        fs.mkdirSync(path.dirname(settingsFile(home)), { recursive: true });
        fs.symlinkSync(path.join(home, "missing.json"), settingsFile(home));
        assert.equal(bridgePort(home), defaultPort);
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
        assert.equal(port, defaultPort, "a FIFO in the settings file's place was read");
        assert.ok(elapsed < 2000,
            `reading the settings file waited ${elapsed.toFixed(0)} ms on a FIFO`);
    });
});

describe("the file is read afresh at every call", () => {
    it("follows a change of port and a removed file", (t) => {
        const home = makeHome(t);
        writeSettings(home, { port: 8080 });
        assert.equal(bridgePort(home), 8080);
        writeSettings(home, { port: 9090 });
        assert.equal(bridgePort(home), 9090, "a changed settings file was not read again");
        fs.rmSync(settingsFile(home));
        assert.equal(bridgePort(home), defaultPort, "a removed settings file still gave its port");
    });

    it("takes the home directory from HOME", (t) => {
        const home = makeHome(t);
        writeSettings(home, { port: 8080 });
        const saved = process.env.HOME;
        t.after(() => (process.env.HOME = saved));
        process.env.HOME = home;
        assert.equal(bridgePort(), 8080);
    });
});
