// Captures asked of the panel: a batch of logged clips from one deck and one input into files,
// on a thread of its own per batch (never an HTTP worker's or an I/O thread's), driving the
// deck through its deck thread. The inputs a client may name and the folder files go below
// are the server's to allow (--capture-input, --capture-folder), not the client's. Progress
// and results go out as `capture` events; the last batch of each deck stays to be asked for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/cliplog/clip_log.h"
#include "tools/decks/deck_action.h"
#include "tools/decks/deck_worker.h"

namespace capture {
class CaptureJob;
class InputReader;
class Preview;
struct PreviewFrame;
}  // namespace capture

namespace panel {

class WorkerDeck;

struct CaptureSettings {
    std::vector<std::string> inputs;  // the inputs a client may name
    std::string folder;               // the folder files go below; none: no capture
    std::string calibration;          // the offsets file; empty: capture::CalibrationStore's
};

class CaptureBatches {
  public:
    using Decks = std::map<int, std::unique_ptr<decks::DeckWorker>>;
    // An event for the page: a batch's JSON ("capture") whenever it changes (at most five
    // times a second while frames come), from the batch's thread; a preview's meters
    // ("preview"), from its thread. It must not wait.
    using Publish = std::function<void(const char* event, const hostkit::Json& body)>;

    CaptureBatches(const Decks& decks, Publish publish);
    ~CaptureBatches();
    CaptureBatches(const CaptureBatches&) = delete;
    CaptureBatches& operator=(const CaptureBatches&) = delete;

    // The settings, checked at start: the folder must be one (its real path is kept).
    bool Configure(CaptureSettings settings, std::string* error);

    // POST /api/capture: {"clips": [ID, ...], "input", "folder", "port", "preroll", "handles",
    // "retries"}. 202 and the batch once it is started; 4xx in words, and nothing started.
    decks::ActionAnswer Start(const std::string& body, const std::vector<cliplog::Clip>& log);
    // POST /api/capture/calibrate: {"port", "input", "at", "seconds", "preroll"}.
    decks::ActionAnswer Calibrate(const std::string& body);
    // POST /api/capture/cancel: {"port"} or {} for every deck.
    decks::ActionAnswer Cancel(const std::string& body);
    // GET /api/capture: the last batch of each deck (of `port` alone when not 0), and what a
    // client may choose: the inputs and the folders below the capture folder.
    hostkit::Json List(int port) const;
    // POST /api/capture/preview: {"port", "input"}: the input opened for its preview alone, to
    // check the signal before a capture, until DELETE or a capture of the deck takes it over.
    // A capture's own input is previewed while it runs without asking.
    decks::ActionAnswer OpenPreview(const std::string& body);
    // DELETE /api/capture/preview?port=N.
    decks::ActionAnswer ClosePreview(int port);
    // The deck's latest preview picture and meters; false with the words when none is open.
    bool LatestPreview(int port, capture::PreviewFrame* frame, std::string* why) const;
    // A clip of the deck's last batch, by its log id: its quality graph and its poster's file.
    bool ClipQuality(int port, int64_t id, hostkit::Json* graph, std::string* poster,
                     std::string* why) const;
    // Each deck's last batch, for a stream's first state.
    std::vector<hostkit::Json> Batches() const;
    // Cancels every batch and waits for their threads.
    void Stop();

  private:
    struct Batch;
    struct Request;

    bool Chosen(const hostkit::Json& ids, const std::vector<cliplog::Clip>& log,
                std::vector<const cliplog::Clip*>* chosen, decks::ActionAnswer* refused) const;
    bool Options(const hostkit::Json& body, Request* r, decks::ActionAnswer* refused) const;
    static bool ClipRequests(const std::vector<const cliplog::Clip*>& chosen, Request* r,
                             decks::ActionAnswer* refused);
    bool Offset(Request* r, decks::ActionAnswer* refused);
    bool Claim(Request* r, const std::shared_ptr<Batch>& b, decks::ActionAnswer* refused);
    std::string Calibration(Batch& b, capture::CaptureJob& job, const WorkerDeck& deck);
    void NotAttempted(Batch& b, const capture::CaptureJob& job, const std::string& why);
    decks::ActionAnswer Begin(Request request);
    void Run(const std::shared_ptr<Batch>& batch);
    // The batch's work; what stopped it, in words, or "" when it ran to its end.
    std::string Work(const std::shared_ptr<Batch>& batch);
    void Progress(Batch& batch, std::size_t clip, const char* phase, int attempt, int64_t frames,
                  int64_t wanted, const hostkit::Json* report);
    hostkit::Json BatchJson(const Batch& batch) const;  // under m_Mutex
    void Finish(Batch& batch, std::string state, std::string error);

    // A deck's preview: fed by its capture's input while one runs, else by an input opened
    // for it alone.
    struct Watch {
        std::shared_ptr<capture::Preview> preview;
        std::unique_ptr<capture::InputReader> alone;
        std::string input;
        bool capturing = false;
        bool opening = false;  // an input being opened for it, outside the lock
    };
    std::shared_ptr<capture::Preview> PreviewFor(int port);  // under m_Mutex
    // A batch's input feeds the deck's preview: an input open for the preview alone is closed
    // first, as a card can be read by one at a time. Its tap.
    std::shared_ptr<capture::Preview> TakePreview(int port, const std::string& input);
    void LeavePreview(int port);

    const Decks& m_Decks;
    Publish m_Publish;
    CaptureSettings m_Settings;

    mutable std::mutex m_Mutex;  // the batches and everything in them that changes
    std::map<int, std::shared_ptr<Batch>> m_Last;
    std::map<int, Watch> m_Watches;
    std::condition_variable m_PreviewOpened;  // an input opened for a preview, or not
    uint64_t m_nLastId = 0;
    bool m_bStopped = false;  // the server stops: no batch starts
};

}  // namespace panel
