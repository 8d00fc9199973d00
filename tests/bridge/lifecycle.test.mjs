// Starting and stopping the bridge as the agent does: it names its port in one line when
// it listens, says clearly why when it cannot, and leaves promptly on a termination signal
// so that Restart Bridge can start the next one on the same port.

import assert from "node:assert/strict";
import { describe, it } from "node:test";

import {
    connect, defaultPort, freePort, makeHome, occupy, receiveUntil, runUntilExit, spawnBridge,
    startBridge, withDeadline, writeSettings,
} from "./support.mjs";

const listeningLine = (port) => `ShadeLedger bridge listening on http://127.0.0.1:${port}\n`;

function onlyLine(text)
{
    const lines = text.split("\n").filter((line) => line !== "");
    assert.equal(lines.length, 1, `expected one line, got: ${JSON.stringify(text)}`);
    return lines[0];
}

describe("starting", () => {
    it("says in one line where it listens", async (t) => {
        const bridge = await startBridge(t);
        assert.equal(bridge.stdout, listeningLine(bridge.port));
        assert.equal(bridge.stderr, "");
    });

    it("uses 47821 when there is no settings file", async (t) => {
        // Holding 47821 keeps the bridge off the machine's default port. When someone else
        // holds it, that one may let go meanwhile: then the bridge listens there instead.
        // Either way it must name 47821.
        await occupy(t, defaultPort);
        const bridge = spawnBridge(t, makeHome(t));
        const listenedOrEnded = new Promise((resolve) => {
            bridge.child.stdout.on("data", () => bridge.stdout.includes("\n") && resolve());
            bridge.exited.then(resolve);
        });
        await withDeadline(listenedOrEnded, 10_000, "the bridge neither listened nor gave up");
        if (bridge.stdout !== "") {
            assert.equal(bridge.stdout, listeningLine(defaultPort));
        } else {
            const { code } = await bridge.exited;
            assert.notEqual(code, 0, "the bridge reported success without its port");
            assert.match(onlyLine(bridge.stderr), /port 47821 is already in use/);
        }
    });

    it("says the port is in use and exits non-zero when another program holds it", async (t) => {
        const port = await freePort();
        assert.ok(await occupy(t, port), `port ${port} was taken between two steps of the test`);
        const home = makeHome(t);
        writeSettings(home, { port });
        const result = await runUntilExit(t, home);
        assert.notEqual(result.code, 0, "the bridge reported success on a port it could not take");
        assert.match(onlyLine(result.stderr), new RegExp(`port ${port} is already in use`));
        assert.equal(result.stdout, "");
    });

    for (const port of [0, -1, 70000, 9e18]) {
        it(`refuses port ${port} from the settings file with a clear message`, async (t) => {
            const home = makeHome(t);
            writeSettings(home, { port });
            const result = await runUntilExit(t, home);
            assert.notEqual(result.code, 0, `the bridge reported success with port ${port}`);
            assert.equal(result.signal, null);
            const line = onlyLine(result.stderr);
            assert.match(line, new RegExp(`port ${port} .*outside 1-65535`));
            assert.ok(line.includes("zizadezavav.json"),
                `the message does not name the settings file: ${line}`);
            assert.equal(result.stdout, "");
        });
    }
});

describe("stopping", () => {
    async function stopAndMeasure(t, bridge, signal)
    {
        const sent = performance.now();
        bridge.child.kill(signal);
        const exit = await withDeadline(bridge.exited, 10_000,
            `the bridge kept running after ${signal}`);
        const elapsed = exit.at - sent;
        t.diagnostic(`exited ${elapsed.toFixed(1)} ms after ${signal}`);
        assert.equal(exit.signal, null, `the bridge died of ${exit.signal} instead of handling it`);
        assert.equal(exit.code, 0,
            `the bridge exited with ${exit.code} after ${signal}; it said: ${bridge.stderr}`);
        // The goal is half a second; the limit leaves room for a loaded machine.
        assert.ok(elapsed < 2000,
            `the bridge took ${elapsed.toFixed(0)} ms to exit after ${signal}`);
        return elapsed;
    }

    for (const signal of ["SIGTERM", "SIGINT", "SIGHUP"]) {
        it(`exits 0 on ${signal}`, async (t) => {
            const bridge = await startBridge(t);
            await stopAndMeasure(t, bridge, signal);
            assert.match(bridge.stdout, new RegExp(`stopping on ${signal}`));
        });
    }

    it("exits promptly on SIGTERM while a keep-alive client stays connected", async (t) => {
        const bridge = await startBridge(t);
        const socket = await connect(bridge.port);
        t.after(() => socket.destroy());
        const closed = new Promise((resolve) => socket.once("close", resolve));
        socket.on("error", () => {});
        socket.write(`GET /health HTTP/1.1\r\nHost: 127.0.0.1:${bridge.port}\r\n`
            + "Connection: keep-alive\r\n\r\n");
        const answer = await receiveUntil(socket, '"status":"ok"');
        assert.match(answer, /Connection: keep-alive/i,
            "the bridge did not keep the connection open");

        await stopAndMeasure(t, bridge, "SIGTERM");
        await withDeadline(closed, 10_000, "the keep-alive connection stayed open");
    });

    it("exits promptly on SIGTERM while clients are half-way through a request", async (t) => {
        const bridge = await startBridge(t);
        // One connection the bridge has surely accepted: it answered a first request.
        const served = await connect(bridge.port);
        t.after(() => served.destroy());
        served.on("error", () => {});
        served.write(`GET /health HTTP/1.1\r\nHost: 127.0.0.1:${bridge.port}\r\n\r\n`);
        await receiveUntil(served, '"status":"ok"');
        served.write(`GET /health HTTP/1.1\r\nHost: 127.0.0.1:${bridge.port}\r\nUser-Agent: slow`);
        // And one that has sent nothing but half a request line.
        const fresh = await connect(bridge.port);
        t.after(() => fresh.destroy());
        fresh.on("error", () => {});
        fresh.write("GET /hea");

        await stopAndMeasure(t, bridge, "SIGTERM");
    });

    it("leaves its port free for the next bridge", async (t) => {
        const first = await startBridge(t);
        const socket = await connect(first.port);
        t.after(() => socket.destroy());
        socket.on("error", () => {});
        socket.write(`GET /health HTTP/1.1\r\nHost: 127.0.0.1:${first.port}\r\n\r\n`);
        await receiveUntil(socket, '"status":"ok"');
        await stopAndMeasure(t, first, "SIGTERM");

        const second = await startBridge(t, first.port);
        assert.equal(second.stdout, listeningLine(first.port));
    });
});
