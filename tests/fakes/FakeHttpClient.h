#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/HttpClient.h"

namespace tarnwick::fakes {

// Records requests; a test answers them, standing in for the loader thread.
class FakeHttpClient final : public platform::HttpClient {
 public:
  struct Pending {
    platform::HttpRequest request;
    DataCompletion data;
    DownloadCompletion download;
    bool answered = false;
  };

  void dataTask(platform::HttpRequest request, DataCompletion completion) override {
    std::lock_guard lock(mutex_);
    if (std::find(holdApart.begin(), holdApart.end(), request.url) != holdApart.end()) {
      heldApart_.push_back({std::move(request), std::move(completion), nullptr});
      return;
    }
    requests_.push_back({std::move(request), std::move(completion), nullptr});
  }
  void downloadTask(platform::HttpRequest request, DownloadCompletion completion) override {
    std::lock_guard lock(mutex_);
    requests_.push_back({std::move(request), nullptr, std::move(completion)});
  }

  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  platform::HttpRequest request(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return requests_.at(index).request;
  }
  std::size_t unanswered() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& pending : requests_) {
      count += pending.answered ? 0 : 1;
    }
    return count;
  }

  // Answers request `index`, running its completion on the calling thread.
  void respond(std::size_t index, const platform::HttpResponse& response,
               const std::optional<std::filesystem::path>& file = std::nullopt) {
    DataCompletion data;
    DownloadCompletion download;
    {
      std::lock_guard lock(mutex_);
      auto& pending = requests_.at(index);
      pending.answered = true;
      data = pending.data;
      download = pending.download;
    }
    if (data) {
      data(response);
    } else if (download) {
      download(response, file);
    }
  }
  // Answers the oldest request not yet answered.
  void respondNext(const platform::HttpResponse& response) {
    std::size_t index = 0;
    {
      std::lock_guard lock(mutex_);
      while (index < requests_.size() && requests_[index].answered) {
        ++index;
      }
    }
    respond(index, response);
  }

  // Data requests to these addresses are kept apart from the others, outside their count and
  // answer order: FakePlatform holds the update manifest's apart, so that the automatic update
  // check that every launch schedules does not mingle with the connection series.
  std::vector<std::string> holdApart;

  std::vector<platform::HttpRequest> heldApartRequests() const {
    std::lock_guard lock(mutex_);
    std::vector<platform::HttpRequest> requests;
    for (const auto& pending : heldApart_) {
      requests.push_back(pending.request);
    }
    return requests;
  }
  // Answers held-apart request `index`, running its completion on the calling thread.
  void respondHeldApart(std::size_t index, const platform::HttpResponse& response) {
    DataCompletion data;
    {
      std::lock_guard lock(mutex_);
      auto& pending = heldApart_.at(index);
      pending.answered = true;
      data = pending.data;
    }
    data(response);
  }

  static platform::HttpResponse status(int code, platform::HeaderList headers = {},
                                       std::optional<std::string> body = std::nullopt) {
    platform::HttpResponse response;
    response.status = code;
    response.peerAccount = ::getuid();  // answered by this account, unless a test says otherwise
    response.headers = std::move(headers);
    response.body = std::move(body);
    return response;
  }
  static platform::HttpResponse transportError(std::string description) {
    platform::HttpResponse response;
    response.transportError = std::move(description);
    return response;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Pending> requests_;
  std::vector<Pending> heldApart_;
};

}  // namespace tarnwick::fakes
