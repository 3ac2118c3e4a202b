// The deck object's recursive lock: the holder may take it again; every Lock needs an Unlock.
#pragma once

#include <mutex>

class CCriticalSection {
  public:
    void Lock() { m_Mutex.lock(); }
    void Unlock() { m_Mutex.unlock(); }

  private:
    std::recursive_mutex m_Mutex;
};
