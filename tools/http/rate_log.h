// The server's error log: rate-limited, and written on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace http {

// Past this many log lines in a second the rest are counted, not written.
constexpr int kLogLinesPerSecond = 20;
// Lines waiting for the log's writer; past it they are counted, not queued.
constexpr std::size_t kLogQueue = 64;
// How long the end waits for the log's writer to write what is queued.
constexpr std::chrono::seconds kLogDrain{1};

// The error log, at most kLogLinesPerSecond lines a second so that a flood of bad clients
// cannot fill a disk through it. Lines go through a bounded queue to a thread of the log's
// own: a sink that blocks (a stderr nobody reads) costs lines, counted, never a client's
// thread.
class RateLog {
  public:
    explicit RateLog(std::function<void(const std::string&)> sink) {
        if (sink) {
            m_State = std::make_shared<State>();
            m_State->sink = std::move(sink);
            // The thread shares the state: a writer stuck in its sink may outlive the server.
            m_Writer = std::thread([state = m_State] { Run(*state); });
        }
    }
    ~RateLog() { Stop(); }
    RateLog(const RateLog&) = delete;
    RateLog& operator=(const RateLog&) = delete;

    void operator()(std::string line) {
        if (!m_State) {
            return;
        }
        // A line may quote a client's path: no control character of its may forge a line.
        for (char& c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                c = '?';
            }
        }
        State& s = *m_State;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            const auto now = std::chrono::steady_clock::now();
            if (now - s.start >= std::chrono::seconds(1)) {
                if (s.over > 0) {
                    Queue(s, std::to_string(s.over) + " more such lines in the last second");
                }
                s.start = now;
                s.lines = 0;
                s.over = 0;
            }
            if (s.lines++ < kLogLinesPerSecond) {
                Queue(s, std::move(line));
            } else {
                ++s.over;
            }
        }
        s.ready.notify_one();
    }

    // Writes what is queued, then ends the writer; a writer stuck in its sink is left behind
    // after a second rather than holding up the end.
    void Stop() {
        if (!m_Writer.joinable()) {
            return;
        }
        State& s = *m_State;
        bool done = false;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.stopping = true;
            s.ready.notify_one();
            done = s.finished.wait_for(lock, kLogDrain, [&s] { return s.done; });
        }
        if (done) {
            m_Writer.join();
        } else {
            m_Writer.detach();
        }
    }

  private:
    struct State {
        std::function<void(const std::string&)> sink;
        std::mutex mutex;  // guards what follows
        std::condition_variable ready;
        std::condition_variable finished;
        std::deque<std::string> queue;
        std::chrono::steady_clock::time_point start;
        int lines = 0;
        int over = 0;          // past the rate in this second
        std::size_t lost = 0;  // past the queue's bound
        bool stopping = false;
        bool done = false;
    };

    static void Queue(State& s, std::string line) {
        if (s.queue.size() < kLogQueue) {
            s.queue.push_back(std::move(line));
        } else {
            ++s.lost;
        }
    }

    static void Run(State& s) {
        std::unique_lock<std::mutex> lock(s.mutex);
        for (;;) {
            s.ready.wait(lock, [&s] { return s.stopping || !s.queue.empty(); });
            if (s.queue.empty()) {
                break;
            }
            std::deque<std::string> lines;
            lines.swap(s.queue);
            const std::size_t lost = s.lost;
            s.lost = 0;
            lock.unlock();
            for (const std::string& line : lines) {
                s.sink(line);
            }
            if (lost > 0) {
                s.sink(std::to_string(lost) + " lines lost: the error log could not keep up");
            }
            lock.lock();
        }
        s.done = true;
        s.finished.notify_all();
    }

    std::shared_ptr<State> m_State;
    std::thread m_Writer;
};

}  // namespace http
