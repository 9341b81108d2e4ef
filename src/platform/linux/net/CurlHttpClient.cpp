#include "platform/linux/net/CurlHttpClient.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/net/SocketOwner.h"
#include "platform/linux/net/TransferRules.h"

namespace tarnwick::platform::linux_desktop {

namespace {

using namespace transfer_rules;

constexpr int idlePollMilliseconds = 1000;
constexpr std::string_view webProtocols = "http,https";

struct Job {
  HttpRequest request;
  HttpClient::DataCompletion data;
  HttpClient::DownloadCompletion download;
};

}  // namespace

class CurlHttpClient::Worker {
 public:
  explicit Worker(Limits limits) : limits_(limits), noProxy_(noProxyList()) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { loop(); });
  }

  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (multi_) {
      curl_multi_wakeup(multi_);
    }
    thread_.join();
    if (multi_) {
      curl_multi_cleanup(multi_);
    }
  }

  void submit(Job job) {
    {
      std::lock_guard lock(mutex_);
      incoming_.push_back(std::move(job));
    }
    wake_.notify_all();
    if (multi_) {
      curl_multi_wakeup(multi_);
    }
  }

 private:
  struct Transfer {
    Job job;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    HeaderList responseHeaders;
    std::size_t maximumBodyBytes = 0;
    bool bodyTooLarge = false;
    int file = -1;
    std::filesystem::path filePath;
    bool fileFailed = false;
    std::optional<std::uint32_t> peerAccount;

    ~Transfer() {
      if (easy) {
        curl_easy_cleanup(easy);
      }
      curl_slist_free_all(headers);
      closeFile();
      if (!filePath.empty()) {
        std::error_code ignored;
        std::filesystem::remove(filePath, ignored);
      }
    }
    void closeFile() {
      if (file >= 0) {
        ::close(file);
        file = -1;
      }
    }
    bool isDownload() const { return static_cast<bool>(job.download); }
  };

  void loop() {
    for (;;) {
      std::deque<Job> jobs;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) {
          break;
        }
        jobs.swap(incoming_);
      }
      for (auto& job : jobs) {
        start(std::move(job));
      }
      if (!multi_) {
        // Without a multi handle every job fails at once; sleep until there is another.
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !incoming_.empty(); });
        continue;
      }
      int running = 0;
      curl_multi_perform(multi_, &running);
      finishDone();
      curl_multi_poll(multi_, nullptr, 0, idlePollMilliseconds, nullptr);
    }
    for (auto& [easy, transfer] : active_) {
      curl_multi_remove_handle(multi_, easy);
    }
    active_.clear();
  }

  static void deliver(Job& job, const HttpResponse& response,
                      const std::optional<std::filesystem::path>& file) {
    // A throwing completion must not take the worker, and every other transfer, down with it.
    try {
      if (job.download) {
        job.download(response, file);
      } else if (job.data) {
        job.data(response);
      }
    } catch (...) {
    }
  }

  void start(Job job) {
    auto& request = job.request;
    for (const auto& [name, value] : request.headers) {
      if (!isToken(name) || !isSafeHeaderValue(value)) {
        deliver(job, failure("The request has a header that cannot be sent."), std::nullopt);
        return;
      }
    }
    if (!isToken(request.method)) {
      deliver(job, failure("The request method is not valid."), std::nullopt);
      return;
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->job = std::move(job);
    transfer->maximumBodyBytes = limits_.maximumBodyBytes;
    transfer->easy = multi_ ? curl_easy_init() : nullptr;
    if (!transfer->easy || !configure(*transfer)) {
      deliver(transfer->job, failure("The request could not be started."), std::nullopt);
      return;
    }
    if (curl_multi_add_handle(multi_, transfer->easy) != CURLM_OK) {
      deliver(transfer->job, failure("The request could not be started."), std::nullopt);
      return;
    }
    CURL* easy = transfer->easy;
    active_.emplace(easy, std::move(transfer));
  }

  bool configure(Transfer& transfer) {
    CURL* easy = transfer.easy;
    const auto& request = transfer.job.request;
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str()) == CURLE_OK;
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, webProtocols.data());
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, webProtocols.data());
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, limits_.maximumRedirects);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxy_.c_str());
    double milliseconds = std::ceil(request.timeout.count() * 1000.0);
    if (milliseconds > 0) {
      curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                       static_cast<long>(std::min(milliseconds, 2147483647.0)));
    }
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Worker::onConnected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Worker::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Worker::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);

    const bool sendsBody = request.method == "POST" || !request.body.empty();
    if (request.method == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
      if (request.method != "POST") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
      }
      if (sendsBody) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
      }
    }

    // "Name;" is curl's way to send a header with an empty value; "Name:" withholds its own.
    std::vector<std::string> lines;
    for (const auto& [name, value] : request.headers) {
      lines.push_back(value.empty() ? name + ";" : name + ": " + value);
    }
    for (std::string_view own : {"Accept", "Expect"}) {
      if (!hasHeader(request.headers, own)) {
        lines.push_back(std::string(own) + ":");
      }
    }
    if (sendsBody && !hasHeader(request.headers, "Content-Type")) {
      lines.push_back("Content-Type:");
    }
    for (const auto& line : lines) {
      auto* extended = curl_slist_append(transfer.headers, line.c_str());
      if (!extended) {
        return false;
      }
      transfer.headers = extended;
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);

    if (transfer.isDownload()) {
      auto pattern = (std::filesystem::temp_directory_path() / "tarnwick-download-XXXXXX").string();
      transfer.file = ::mkostemp(pattern.data(), O_CLOEXEC);
      if (transfer.file < 0) {
        return false;
      }
      transfer.filePath = pattern;
    }
    return ok;
  }

  // Called on every connection, new or reused, before the request goes out: while our end is
  // open, the server's end of it names the account that accepted it. Each redirect asks again,
  // so the owner is the one of the server that answered last.
  static int onConnected(void* context, char* serverIp, char* clientIp, int serverPort,
                         int clientPort) {
    auto& transfer = *static_cast<Transfer*>(context);
    transfer.peerAccount = loopbackPeerAccount(serverIp, serverPort, clientIp, clientPort);
    return CURL_PREREQFUNC_OK;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
      transfer.responseHeaders.clear();  // a new response: after a redirect or an interim 1xx
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      if (!transfer.responseHeaders.empty()) {
        transfer.responseHeaders.back().second += " " + std::string(trimmed(line));
      }
    } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
      transfer.responseHeaders.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                            std::string(trimmed(line.substr(colon + 1))));
    }
    return size * count;
  }

  static size_t onBody(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t length = size * count;
    if (transfer.isDownload()) {
      size_t written = 0;
      while (written < length) {
        ssize_t step = ::write(transfer.file, data + written, length - written);
        if (step < 0 && errno == EINTR) {
          continue;
        }
        if (step <= 0) {
          transfer.fileFailed = true;
          return 0;  // fails the transfer
        }
        written += static_cast<size_t>(step);
      }
      return length;
    }
    if (transfer.body.size() + length > transfer.maximumBodyBytes) {
      transfer.bodyTooLarge = true;
      return 0;
    }
    transfer.body.append(data, length);
    return length;
  }

  void finishDone() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) {
        continue;
      }
      CURL* easy = message->easy_handle;
      CURLcode code = message->data.result;
      curl_multi_remove_handle(multi_, easy);
      auto found = active_.find(easy);
      if (found == active_.end()) {
        continue;
      }
      auto transfer = std::move(found->second);
      active_.erase(found);
      finish(*transfer, code);
      // The transfer's destructor removes a downloaded file, after the completion returned.
    }
  }

  static void finish(Transfer& transfer, CURLcode code) {
    transfer.closeFile();
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK || status <= 0) {
      std::string sentence = sentenceFor(code);
      if (transfer.bodyTooLarge) {
        sentence = "The response was too large.";
      } else if (transfer.fileFailed) {
        sentence = "The downloaded file could not be saved.";
      } else if (code == CURLE_OK) {
        sentence = "The server sent a response that could not be understood.";
      }
      deliver(transfer.job, failure(std::move(sentence)), std::nullopt);
      return;
    }
    HttpResponse response;
    response.status = static_cast<int>(status);
    response.peerAccount = transfer.peerAccount;
    response.headers = std::move(transfer.responseHeaders);
    if (transfer.isDownload()) {
      deliver(transfer.job, response, transfer.filePath);
    } else {
      response.body = std::move(transfer.body);
      deliver(transfer.job, response, std::nullopt);
    }
  }

  const Limits limits_;
  const std::string noProxy_;
  CURLM* multi_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> incoming_;
  bool stopping_ = false;
  std::map<CURL*, std::unique_ptr<Transfer>> active_;  // worker thread only
  std::thread thread_;
};

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Limits{}) {}

CurlHttpClient::CurlHttpClient(Limits limits) : worker_(std::make_unique<Worker>(limits)) {}

CurlHttpClient::~CurlHttpClient() = default;

void CurlHttpClient::dataTask(HttpRequest request, DataCompletion completion) {
  worker_->submit({std::move(request), std::move(completion), nullptr});
}

void CurlHttpClient::downloadTask(HttpRequest request, DownloadCompletion completion) {
  worker_->submit({std::move(request), nullptr, std::move(completion)});
}

}  // namespace tarnwick::platform::linux_desktop
