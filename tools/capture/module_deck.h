// A deck driven through the module, on a port this process opens for itself. The module's
// serial layer opens it exclusively, which root is exempt from; a lock on the device keeps a
// second capture off the deck for root too.
#pragma once

#include "tools/capture/deck_control.h"
#include "tools/hostkit/host_records.h"
#include "tools/hostkit/module.h"

namespace capture {

class ModuleDeck : public DeckControl {
  public:
    ModuleDeck(const hostkit::Module& module, int port, const hostkit::RateInfo& rate);
    ~ModuleDeck() override;
    ModuleDeck(const ModuleDeck&) = delete;
    ModuleDeck& operator=(const ModuleDeck&) = delete;

    // Command 5; the reason in words when the port does not open or the deck does not answer.
    bool Connect(std::string* error);
    void Disconnect();

    const hostkit::RateInfo& Rate() const override { return m_Rate; }
    std::string Name() const override;
    bool Cue(int64_t frames, std::string* error) override;
    std::optional<bool> CueDone() override;
    bool Play(std::string* error) override;
    bool Stop(std::string* error) override;
    std::optional<bool> Playing() override;
    TimeRead ReadTime() override;
    bool Recover(std::chrono::milliseconds limit, const std::atomic<bool>* cancel) override;

  private:
    int Call(int command);
    bool Lock(std::string* error);

    const hostkit::Module& m_Module;
    int m_nPort;
    const hostkit::RateInfo& m_Rate;
    std::string m_Device;
    hostkit::HostRecords m_Records;
    bool m_bConnected = false;
    int m_nLock = -1;  // the device, held open with a lock for as long as we capture
    bool m_bLastFailed = false;
    Clock::time_point m_LastEnd;
    Clock::duration m_Quickest = Clock::duration::max();  // of the answered time reads
};

}  // namespace capture
