// What the agent's probe and a web page see when they talk to a running bridge.

import assert from "node:assert/strict";
import os from "node:os";
import { describe, it } from "node:test";

import { connect, rawExchange, request, startBridge, withDeadline } from "./support.mjs";

describe("GET /health", () => {
    it("answers 200 with a small JSON body naming the bridge's process", async (t) => {
        const bridge = await startBridge(t);
        const answer = await request(bridge.port);
        assert.equal(answer.status, 200,
            `the agent's probe got ${answer.status}: the menu would show "○ Not connected"`);
        assert.match(answer.headers["content-type"], /^application\/json/);
        const body = JSON.parse(answer.body);
        assert.equal(body.status, "ok");
        assert.equal(body.pid, bridge.child.pid);
        assert.equal(answer.headers["cache-control"], "no-store");
    });

    it("ignores a query", async (t) => {
        const bridge = await startBridge(t);
        for (const path of ["/health?x", "/health?probe=1&t=2"]) {
            const answer = await request(bridge.port, { path });
            assert.equal(answer.status, 200, `GET ${path} got ${answer.status}`);
        }
    });

    it("answers HEAD like GET, without a body", async (t) => {
        const bridge = await startBridge(t);
        const answer = await request(bridge.port, { method: "HEAD" });
        assert.equal(answer.status, 200);
        assert.equal(answer.body, "");
    });

    it("keeps answering on one keep-alive connection", async (t) => {
        const bridge = await startBridge(t);
        const socket = await connect(bridge.port);
        t.after(() => socket.destroy());
        let received = "";
        socket.on("data", (chunk) => (received += chunk.toString("latin1")));
        const probe = `GET /health HTTP/1.1\r\nHost: 127.0.0.1:${bridge.port}\r\n\r\n`;
        socket.write(probe + probe + probe);
        const threeAnswers = new Promise((resolve) => {
            const check = () => (received.match(/HTTP\/1\.1 200 OK/g) ?? []).length === 3
                && resolve();
            socket.on("data", check);
        });
        await withDeadline(threeAnswers, 10_000,
            `three pipelined probes did not all get 200; got: ${received}`);
    });
});

describe("other requests", () => {
    it("answers 404 for any other path", async (t) => {
        const bridge = await startBridge(t);
        for (const path of ["/", "/healthz", "/health/", "/api/health", "/Health"]) {
            const answer = await request(bridge.port, { path });
            assert.equal(answer.status, 404, `GET ${path} got ${answer.status}`);
        }
    });

    it("answers 405 with Allow for other methods on /health", async (t) => {
        const bridge = await startBridge(t);
        for (const method of ["POST", "PUT", "DELETE", "PATCH", "OPTIONS"]) {
            const answer = await request(bridge.port, { method });
            assert.equal(answer.status, 405, `${method} /health got ${answer.status}`);
            assert.equal(answer.headers.allow, "GET, HEAD");
        }
    });
});

describe("the Host header guards against DNS rebinding", () => {
    it("accepts 127.0.0.1 and localhost at the bridge's port", async (t) => {
        const bridge = await startBridge(t);
        const port = bridge.port;
        for (const host of [`127.0.0.1:${port}`, `localhost:${port}`, `LocalHost:${port}`]) {
            const answer = await request(bridge.port, { host });
            assert.equal(answer.status, 200, `Host ${host} got ${answer.status}`);
        }
    });

    it("answers 421 to any other host, on every path", async (t) => {
        const bridge = await startBridge(t);
        const port = bridge.port;
        const hosts = [
            `evil.example:${port}`,
            "evil.example",
            `127.0.0.1.evil.example:${port}`,
            `localhost.evil.example:${port}`,
            `127.0.0.1:${port + 1}`,
            "127.0.0.1",
            "localhost",
            `[::1]:${port}`,
            `0.0.0.0:${port}`,
            "",
        ];
        for (const host of hosts) {
            for (const path of ["/health", "/nowhere"]) {
                const answer = await request(port, { host, path });
                assert.equal(answer.status, 421,
                    `Host "${host}" reached ${path} with ${answer.status}`);
                assert.doesNotMatch(answer.body, /"ok"/);
            }
        }
    });

    it("answers 400 to a request without a Host header", async (t) => {
        const bridge = await startBridge(t);
        for (const version of ["1.1", "1.0"]) {
            const answer = await rawExchange(bridge.port, `GET /health HTTP/${version}\r\n\r\n`);
            assert.match(answer, /^HTTP\/1\.1 400 /,
                `an HTTP/${version} request without Host got: ${answer}`);
        }
    });

    it("answers 400 to a request with two Host headers", async (t) => {
        const bridge = await startBridge(t);
        const answer = await rawExchange(bridge.port,
            `GET /health HTTP/1.1\r\nHost: 127.0.0.1:${bridge.port}\r\nHost: evil.example\r\n\r\n`);
        assert.match(answer, /^HTTP\/1\.1 400 /, `a request with two Host headers got: ${answer}`);
    });
});

describe("the bridge listens on 127.0.0.1 only", () => {
    // Other addresses of this machine: the rest of 127/8 (routed to loopback on Linux),
    // IPv6 loopback and every configured interface address.
    function otherLocalAddresses()
    {
        const addresses = new Set(["127.0.0.2", "::1"]);
        for (const entries of Object.values(os.networkInterfaces()))
            for (const entry of entries ?? [])
                if (entry.address !== "127.0.0.1" && !entry.address.startsWith("fe80:"))
                    addresses.add(entry.address);
        return [...addresses];
    }

    async function reachable(port, host)
    {
        try {
            const socket = await withDeadline(connect(port, host), 3000, `connecting to ${host}`);
            socket.destroy();
            return true;
        } catch {
            return false;
        }
    }

    it("is reachable on 127.0.0.1 and on no other local address", async (t) => {
        const bridge = await startBridge(t);
        const port = bridge.port;
        assert.equal(bridge.stdout, `ShadeLedger bridge listening on http://127.0.0.1:${port}\n`);
        assert.ok(await reachable(port, "127.0.0.1"), "the bridge is not reachable on 127.0.0.1");
        const others = otherLocalAddresses();
        t.diagnostic(`also tried: ${others.join(", ")}`);
        for (const host of others)
            assert.equal(await reachable(port, host), false, `the bridge is reachable on ${host}`);
    });
});
