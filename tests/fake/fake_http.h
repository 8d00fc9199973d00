// HTTP on the fake platform: each request answered by a test's responder, or left in
// flight until the test completes it (from another thread, as a real client does) or never.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/http.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeHTTP final : public HTTPClient {
public:
    explicit FakeHTTP(CallRecord& record)
        : record_(record)
    {
    }
    void get(const std::string& address, HTTPCompletion completion) override;

    struct Answer {
        std::optional<int> status; // an HTTP status
        std::optional<std::string> error; // or a client error
        bool never = false; // or no answer at all (stays in flight)
        static Answer withStatus(int code) { return {code, std::nullopt, false}; }
        static Answer failure(std::string text) { return {std::nullopt, std::move(text), false}; }
        static Answer hang() { return {std::nullopt, std::nullopt, true}; }
    };
    // Answers new requests at once; unset, requests stay in flight.
    std::function<Answer(const std::string& address)> responder;

    struct Request {
        std::string address;
        HTTPCompletion completion;
        bool completed = false;
    };
    std::vector<Request> requests;
    std::vector<std::string> addresses() const;
    std::size_t inFlight() const;
    // Completes request i with the answer, from another thread, as a real client does.
    void complete(std::size_t index, const Answer& answer);

private:
    CallRecord& record_;
};

} // namespace ShadeLedgerZizadezavav
