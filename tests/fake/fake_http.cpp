#include "fake/fake_http.h"

#include <algorithm>
#include <thread>

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

void FakeHTTP::get(const std::string& address, HTTPCompletion completion)
{
    record_.add("http.get " + address);
    requests.push_back(Request{address, std::move(completion), false});
    if (responder) {
        auto answer = responder(address);
        if (!answer.never) {
            complete(requests.size() - 1, answer);
        }
    }
}

std::vector<std::string> FakeHTTP::addresses() const
{
    std::vector<std::string> found;
    for (const auto& request : requests) {
        found.push_back(request.address);
    }
    return found;
}

std::size_t FakeHTTP::inFlight() const
{
    return static_cast<std::size_t>(std::count_if(
        requests.begin(), requests.end(), [](const auto& r) { return !r.completed; }));
}

void FakeHTTP::complete(std::size_t index, const Answer& answer)
{
    auto& request = requests.at(index);
    if (request.completed) {
        return;
    }
    request.completed = true;
    auto completion = request.completion;
    std::thread client([&] {
        // The result's text must outlive the call only: the answer does.
        completion(answer.status
                ? HTTPResult::status(*answer.status)
                : HTTPResult::failure(answer.error ? answer.error->c_str() : "timed out"));
    });
    client.join();
}

} // namespace ShadeLedgerZizadezavav
