// A bounded pool of workers for the handlers that may wait: a fixed number of threads and a
// bounded queue, so that a flood of such requests is answered 503 rather than queued.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace http {

class WorkerPool {
  public:
    void Start(int threads, std::size_t queue) {
        m_nQueue = queue;
        for (int i = 0; i < threads; ++i) {
            m_Threads.emplace_back([this] { Run(); });
        }
    }

    bool Post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_bStopping || m_Jobs.size() >= m_nQueue) {
                return false;
            }
            m_Jobs.push_back(std::move(job));
        }
        m_Ready.notify_one();
        return true;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bStopping = true;
        }
        m_Ready.notify_all();
        for (std::thread& t : m_Threads) {
            t.join();
        }
        m_Threads.clear();
    }

  private:
    void Run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_Mutex);
                m_Ready.wait(lock, [this] { return m_bStopping || !m_Jobs.empty(); });
                if (m_Jobs.empty()) {
                    return;
                }
                job = std::move(m_Jobs.front());
                m_Jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<std::function<void()>> m_Jobs;
    std::vector<std::thread> m_Threads;
    std::size_t m_nQueue = 0;
    bool m_bStopping = false;
};

}  // namespace http
