#include "sdk/platform/JackStream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

#include <jack/jack.h>

#include "sdk/platform/AudioLibraryMessageScope.h"
#include "sdk/platform/WordWait.h"

namespace vbz {

namespace {
constexpr const char* kCaptureClientName = "vbz-loopback-capture";
constexpr const char* kPlaybackClientName = "vbz-audio-output";
constexpr const char* kMonitorInfix = ":monitor_";
constexpr int kMaxChannels = 64;
// Longest block handed to the callback, in frames (a JACK period is at most
// 8192 frames).
constexpr unsigned long kMaxBlockFrames = 1u << 16;
// Longest wait for libjack's notification thread to leave once the server
// went away, before the client is closed all the same.
constexpr std::chrono::seconds kServerLeaveWait{10};
// How long a client written off with the others is given to hear that its
// server is going away, before it is closed as one whose server stays.
constexpr std::chrono::milliseconds kReportWait{200};
}  // namespace

enum class JackStream::Job { Start, Stop, Close };

struct JackStream::Core {
    ~Core() {
        // Only a stream that failed to open gets here with its client: it
        // was never activated.
        if (client) jack_client_close(client);
    }

    // The stream's thread.
    void run();
    int execute(Job job);
    int activate();
    // Keeps cycles out of the stream callback and waits for one under way:
    // libjack's deactivation cancels the process thread wherever it is
    // (asynchronous cancellation), and the callback may be waiting, hold a
    // lock or write a log line. No wait once the server is gone: no cycle
    // runs.
    void quiesce();
    void deactivate();
    void close();
    // Waits (bounded) until the thread that told us the server went away has
    // ended: see close().
    void awaitServerLeft();
    // Runs the finished callback, once per start and never once closing.
    // Our threads only.
    void sayFinished();
    // From libjack's threads: lock-free and non-blocking.
    void wakeUp() {
        wake.fetch_add(1, std::memory_order_release);
        wakeWordWaiters(wake);
    }

    static int process(jack_nframes_t frames, void* arg);
    // One process cycle of a running stream.
    void cycle(unsigned frames);
    static void onShutdown(void* arg);
    static void onClientRegistration(const char* name, int registered, void* arg);
    float& sample(std::size_t channel, std::size_t frame) {
        return nonInterleaved ? block[channel * blockFrames + frame] : block[frame * ports.size() + channel];
    }
    void handOver();

    // libjack reports the server's death from its own threads: quiet until
    // the client is closed.
    JackMessageQuiet quiet;
    // Held around every libjack call on the client once the stream's thread
    // runs: by that thread, and by awaitClosing for a client whose server
    // went away. Never while calling the application.
    std::mutex jackMutex;
    jack_client_t* client = nullptr;
    Direction direction = Direction::Capture;
    std::string device;  // the client whose ports the stream takes or feeds
    std::vector<jack_port_t*> ports;
    std::vector<std::string> peers;  // the device's ports, in channel order
    // One block for the callback, allocated at open: the process thread
    // never allocates. blockAt is the frames of it already played or filled.
    std::vector<float> block;
    std::vector<float*> channelBuffers;  // into block, when non-interleaved
    std::size_t blockFrames = 0;
    std::size_t blockAt = 0;
    bool nonInterleaved = false;
    PaStreamCallback* callback = nullptr;
    void* userData = nullptr;

    std::atomic<bool> leaving{true};     // cycles return at once
    std::atomic<bool> inProcess{false};  // a process cycle runs
    std::atomic<bool> ended{false};      // by the server's shutdown or the device's leaving
    std::atomic<bool> serverGone{false};
    // The thread (kernel id) that reported the server's going first.
    std::atomic<long> reporter{0};
    // The server held an activation or a deactivation of ours at least
    // kStopWait and then refused it: it was shutting down (it reports its
    // going only after that). One that answers late is only slow.
    std::atomic<bool> serverLeaving{false};
    // The job under way had an activation or a deactivation refused; under
    // jackMutex.
    bool refused = false;
    // Bumped by every notification and request; the stream's thread sleeps
    // on it (a futex: whoever wakes it neither blocks nor takes a lock).
    std::atomic<uint32_t> wake{0};

    // Requests to the stream's thread, in order; between our threads only.
    std::mutex jobMutex;
    std::condition_variable jobDone;
    std::deque<std::pair<Job, uint64_t>> jobs;
    uint64_t posted = 0;     // tickets handed out
    uint64_t completed = 0;  // the last ticket done
    bool late = false;       // counted in lateStreams until its requests are done
    int lastResult = 0;

    std::atomic<PaStreamFinishedCallback*> finished{nullptr};
    // Held while the finished callback runs, so that stop and the destructor
    // wait for one under way on the stream's thread.
    std::mutex finishMutex;
    bool finishedSaid = false;
    bool closing = false;

    std::atomic<bool> done{false};  // the client is closed: the thread ends
};

namespace {

// Every stream's core, for awaitClosing.
std::mutex liveMutex;
std::vector<std::weak_ptr<JackStream::Core>> liveCores;

// libjack may take every client of the process for one of a server that
// went away (see JackStream::noteClientsWrittenOff).
std::atomic<bool> clientsWrittenOff{false};

// Held by an OpenGate: from the closing of clients that libjack may free
// through the open of the next client of ours.
std::mutex& openGateMutex() {
    static std::mutex mutex;
    return mutex;
}

// Streams with a request that outlasted its wait. The server answers one
// request at a time: while one waits for its shutdown, the requests of
// other streams wait behind it, and stopping or closing them does not wait
// for them either.
std::atomic<int> lateStreams{0};

// Threads of streams whose client was still closing when the stream was
// destroyed. Joined once done, and at exit.
class ClosingThreads {
public:
    static ClosingThreads& instance() {
        static ClosingThreads threads;
        return threads;
    }
    ~ClosingThreads() {
        for (auto& entry : threads_) entry.first.join();
    }
    void keep(std::thread thread, std::shared_ptr<JackStream::Core> core) {
        const std::lock_guard<std::mutex> lock(mutex_);
        threads_.emplace_back(std::move(thread), std::move(core));
    }
    // Joins every thread, whatever it waits for. Under the open gate, so a
    // second caller meanwhile waits for the first one's joins too.
    void awaitAll() {
        std::vector<Entry> all;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            all.swap(threads_);
        }
        for (auto& entry : all) entry.first.join();
    }
    // Joins those that are done.
    void reap() {
        std::vector<Entry> finished;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto over = std::stable_partition(threads_.begin(), threads_.end(), [](const Entry& entry) {
                return !entry.second->done.load(std::memory_order_acquire);
            });
            std::move(over, threads_.end(), std::back_inserter(finished));
            threads_.erase(over, threads_.end());
        }
        for (auto& entry : finished) entry.first.join();
    }

private:
    using Entry = std::pair<std::thread, std::shared_ptr<JackStream::Core>>;
    std::mutex mutex_;
    std::vector<Entry> threads_;
};

}  // namespace

std::unique_ptr<JackStream> JackStream::open(Direction direction, const std::string& clientName, Format format,
                                             double sampleRate, PaStreamCallback* callback, void* userData,
                                             PaError& error) {
    error = paNoError;
    if (format.channels < 1 || format.channels > kMaxChannels || !callback) {
        error = callback ? paInvalidChannelCount : paNullCallback;
        return nullptr;
    }
    if (format.framesPerBuffer > kMaxBlockFrames) {
        error = paBufferTooBig;
        return nullptr;
    }
    const bool capture = direction == Direction::Capture;
    auto core = std::make_shared<Core>();
    // Before the client exists: its notification thread reads it.
    core->device = clientName;
    core->client = openClient(capture ? kCaptureClientName : kPlaybackClientName);
    if (!core->client) {
        error = paDeviceUnavailable;
        return nullptr;
    }
    if (static_cast<double>(jack_get_sample_rate(core->client)) != sampleRate) {
        error = paInvalidSampleRate;
        return nullptr;
    }
    // A capture takes the device's monitor ports (outputs); a playback
    // feeds the device's inputs, as PortAudio's JACK devices count them.
    const std::string prefix = clientName + (capture ? kMonitorInfix : ":");
    if (const char** ports = jack_get_ports(core->client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                            capture ? JackPortIsOutput : JackPortIsInput)) {
        for (std::size_t i = 0; ports[i]; ++i)
            if (std::strncmp(ports[i], prefix.c_str(), prefix.size()) == 0) core->peers.emplace_back(ports[i]);
        jack_free(ports);
    }
    const auto channels = static_cast<std::size_t>(format.channels);
    if (core->peers.size() < channels) {
        error = core->peers.empty() ? paDeviceUnavailable : paInvalidChannelCount;
        return nullptr;
    }
    core->peers.resize(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        const std::string name = (capture ? "in_" : "out_") + std::to_string(c + 1);
        jack_port_t* port = jack_port_register(core->client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               capture ? JackPortIsInput : JackPortIsOutput, 0);
        if (!port) {
            error = paInsufficientMemory;
            return nullptr;
        }
        core->ports.push_back(port);
    }
    const jack_nframes_t period = jack_get_buffer_size(core->client);
    core->direction = direction;
    core->callback = callback;
    core->userData = userData;
    core->nonInterleaved = format.nonInterleaved;
    core->blockFrames = format.framesPerBuffer != paFramesPerBufferUnspecified ? format.framesPerBuffer : period;
    if (core->blockFrames == 0) {
        error = paDeviceUnavailable;
        return nullptr;
    }
    core->block.assign(core->blockFrames * channels, 0.0f);
    for (std::size_t c = 0; c < channels; ++c)
        core->channelBuffers.push_back(core->block.data() + c * core->blockFrames);
    // A playback begins with its block played out: the first cycle asks.
    core->blockAt = capture ? 0 : core->blockFrames;
    jack_set_process_callback(core->client, &Core::process, core.get());
    jack_on_shutdown(core->client, &Core::onShutdown, core.get());
    jack_set_client_registration_callback(core->client, &Core::onClientRegistration, core.get());

    {
        const std::lock_guard<std::mutex> lock(liveMutex);
        liveCores.erase(std::remove_if(liveCores.begin(), liveCores.end(),
                                       [](const std::weak_ptr<Core>& c) { return c.expired(); }),
                        liveCores.end());
        liveCores.push_back(core);
    }
    std::unique_ptr<JackStream> stream(new JackStream(core));
    stream->info_.structVersion = 1;
    stream->info_.sampleRate = sampleRate;
    (capture ? stream->info_.inputLatency : stream->info_.outputLatency) = static_cast<double>(period) / sampleRate;
    try {
        stream->thread_ = std::thread([core] { core->run(); });
    } catch (const std::system_error&) {
        error = paInsufficientMemory;
        return nullptr;
    }
    return stream;
}

JackStream::JackStream(std::shared_ptr<Core> core) : core_(std::move(core)) {}

jack_client_t* JackStream::openClient(const char* name) {
    const OpenGate gate;
    jack_status_t status{};
    jack_client_t* client = jack_client_open(name, JackNoStartServer, &status);
    // Reached, and refused all the same.
    if (!client && (status & JackServerError)) noteClientsWrittenOff();
    return client;
}

void JackStream::noteClientsWrittenOff() { clientsWrittenOff.store(true); }

void JackStream::awaitClosing() { const OpenGate gate; }

JackStream::OpenGate::OpenGate() : lock_(openGateMutex()) { closeLeftovers(); }

JackStream::OpenGate::~OpenGate() = default;

void JackStream::OpenGate::closeLeftovers() {
    ClosingThreads::instance().awaitAll();
    // Streams still open whose server went away, or all of them once libjack
    // may have written them off: their owners close them when they get to
    // it, which may be after the next open. They end now (those that did not
    // hear of it too), as if their server had gone.
    const bool all = clientsWrittenOff.exchange(false);
    std::vector<std::shared_ptr<Core>> cores;
    {
        const std::lock_guard<std::mutex> lock(liveMutex);
        for (const auto& weak : liveCores)
            if (auto core = weak.lock()) cores.push_back(std::move(core));
    }
    // A server that is going away tells each client within moments (but
    // for one whose request it holds, which closes once it is refused): a
    // client is not closed under such a report (see Core::close).
    const auto reportDeadline = std::chrono::steady_clock::now() + kReportWait;
    for (const auto& core : cores) {
        if (!all && !core->serverGone.load(std::memory_order_acquire)) continue;
        while (!core->serverGone.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < reportDeadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
            const std::lock_guard<std::mutex> lock(core->jackMutex);
            core->close();
        }
        if (!core->ended.exchange(true)) core->wakeUp();
    }
}

JackStream::~JackStream() {
    if (!thread_.joinable()) return;  // never ran: the core closes its client
    stop();
    {
        const std::lock_guard<std::mutex> lock(core_->finishMutex);
        core_->closing = true;
    }
    // A client whose server went away closes once libjack lets go of it
    // (see Core::close): not waited for.
    const bool gone = core_->serverGone.load(std::memory_order_acquire);
    if (request(Job::Close, gone ? std::chrono::milliseconds(0) : kCloseWait, nullptr))
        thread_.join();
    else
        ClosingThreads::instance().keep(std::move(thread_), core_);
    ClosingThreads::instance().reap();
}

bool JackStream::request(Job job, std::chrono::milliseconds limit, int* result) {
    std::unique_lock<std::mutex> lock(core_->jobMutex);
    // Behind a request still under way this one cannot be done sooner.
    if (core_->completed != core_->posted || (job != Job::Start && lateStreams.load() > 0))
        limit = std::chrono::milliseconds(0);
    const uint64_t ticket = ++core_->posted;
    core_->jobs.emplace_back(job, ticket);
    lock.unlock();
    core_->wakeUp();
    lock.lock();
    const bool done = core_->jobDone.wait_for(lock, limit, [&] { return core_->completed >= ticket; });
    if (done && result) *result = core_->lastResult;
    if (!done && !core_->late) {
        core_->late = true;
        lateStreams.fetch_add(1);
    }
    return done;
}

PaError JackStream::start() {
    if (active_.load()) return paStreamIsNotStopped;
    if (core_->ended.load()) return paDeviceUnavailable;
    {
        const std::lock_guard<std::mutex> lock(core_->finishMutex);
        core_->finishedSaid = false;
    }
    core_->leaving.store(false);
    int result = -1;
    const bool done = request(Job::Start, kStartWait, &result);
    if (done && result == 0) {
        active_.store(true);
        return paNoError;
    }
    // Not started: no cycle reaches the callback, and an activation that
    // comes too late is undone.
    core_->quiesce();
    if (!done) request(Job::Stop, std::chrono::milliseconds(0), nullptr);
    return paDeviceUnavailable;
}

PaError JackStream::stop() {
    if (!active_.exchange(false)) return paStreamIsStopped;
    // Nothing reaches the callback once stop returns, whatever the
    // deactivation takes.
    core_->quiesce();
    request(Job::Stop, kStopWait, nullptr);
    core_->sayFinished();  // as a PortAudio stream does once it stops
    return paNoError;
}

void JackStream::setFinishedCallback(PaStreamFinishedCallback* callback) { core_->finished.store(callback); }

PaTime JackStream::time() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// ---- The stream's thread

void JackStream::Core::run() {
    for (;;) {
        // Read before looking at anything: a change after it ends the wait.
        const uint32_t seen = wake.load(std::memory_order_acquire);
        std::pair<Job, uint64_t> job{};
        bool any = false;
        {
            const std::lock_guard<std::mutex> lock(jobMutex);
            if (!jobs.empty()) {
                job = jobs.front();
                jobs.pop_front();
                any = true;
            }
        }
        if (any) {
            const int result = execute(job.first);
            {
                const std::lock_guard<std::mutex> lock(jobMutex);
                completed = job.second;
                lastResult = result;
                if (late && completed == posted) {
                    late = false;
                    lateStreams.fetch_sub(1);
                }
            }
            jobDone.notify_all();
            if (job.first == Job::Close) break;
            continue;
        }
        // The client stays open: closing it while the server shuts down
        // makes jackd (1.9) die of SIGPIPE at the end of its shutdown, as it
        // still writes to the clients in its table. awaitClosing closes it
        // before anything of ours opens a new one.
        if (ended.load(std::memory_order_acquire)) sayFinished();
        while (wake.load(std::memory_order_acquire) == seen) waitWhileWordIs(wake, seen);
    }
    done.store(true, std::memory_order_release);
}

int JackStream::Core::execute(Job job) {
    const std::lock_guard<std::mutex> lock(jackMutex);
    const auto began = std::chrono::steady_clock::now();
    refused = false;
    int result = 0;
    switch (job) {
        case Job::Start: result = activate(); break;
        case Job::Stop: deactivate(); break;
        case Job::Close: close(); break;
    }
    // A refusal that comes at once is libjack's own (the server is gone, or
    // libjack takes it for gone); one the server held first comes at the end
    // of its shutdown.
    if (refused && std::chrono::steady_clock::now() - began >= kStopWait) serverLeaving.store(true);
    return result;
}

int JackStream::Core::activate() {
    if (!client || ended.load()) return -1;
    // A cycle that the last deactivation cancelled may have left it set.
    inProcess.store(false);
    if (jack_activate(client) != 0) {
        refused = true;
        return -1;
    }
    const bool capture = direction == Direction::Capture;
    for (std::size_t c = 0; c < ports.size(); ++c) {
        const char* own = jack_port_name(ports[c]);
        const char* from = capture ? peers[c].c_str() : own;
        const char* to = capture ? own : peers[c].c_str();
        if (jack_connect(client, from, to) != 0) {
            deactivate();
            return -1;
        }
    }
    return 0;
}

void JackStream::Core::quiesce() {
    // Sequentially consistent with process(): either it sees this cycle in
    // progress, or this cycle sees it leaving.
    leaving.store(true);
    while (inProcess.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void JackStream::Core::deactivate() {
    if (!client) return;
    quiesce();
    if (jack_deactivate(client) != 0) refused = true;
    inProcess.store(false);  // the process thread is gone, wherever it was
}

void JackStream::Core::close() {
    if (!client) return;
    // Closing cancels libjack's notification thread asynchronously, and
    // while the server removes clients that thread holds a process-wide
    // mutex of libjack's, which a cancel there leaves locked for good (every
    // later close waits on it); jackd (1.9) also dies of SIGPIPE when a
    // client closes while it shuts down. So a client whose server is going
    // away is closed once that thread has ended: one that reported it, or
    // one that held a request of ours and then refused it (its report comes
    // right after). A server that answered a late request was only slow.
    if (serverGone.load(std::memory_order_acquire) || serverLeaving.load()) awaitServerLeft();
    quiesce();
    jack_client_close(client);
    client = nullptr;
    inProcess.store(false);
}

void JackStream::Core::awaitServerLeft() {
    const auto deadline = std::chrono::steady_clock::now() + kServerLeaveWait;
    while (std::chrono::steady_clock::now() < deadline) {
        const long tid = reporter.load(std::memory_order_acquire);
        if (tid != 0 && ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void JackStream::Core::sayFinished() {
    const std::lock_guard<std::mutex> lock(finishMutex);
    if (finishedSaid || closing) return;
    finishedSaid = true;
    if (PaStreamFinishedCallback* callback = finished.load()) callback(userData);
}

// ---- libjack's threads

void JackStream::Core::handOver() {
    void* buffer = nonInterleaved ? static_cast<void*>(channelBuffers.data()) : static_cast<void*>(block.data());
    const bool capture = direction == Direction::Capture;
    callback(capture ? buffer : nullptr, capture ? nullptr : buffer, blockFrames, nullptr, 0, userData);
}

int JackStream::Core::process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<Core*>(arg);
    self->inProcess.store(true);
    if (self->leaving.load() || self->ended.load()) {
        // Silence without touching the block: an ended playback plays none.
        if (self->direction == Direction::Playback)
            for (jack_port_t* p : self->ports) {
                auto* out = static_cast<float*>(jack_port_get_buffer(p, frames));
                std::fill(out, out + frames, 0.0f);
            }
        self->inProcess.store(false);
        return 0;
    }
    self->cycle(frames);
    self->inProcess.store(false);
    return 0;
}

void JackStream::Core::cycle(unsigned frames) {
    const std::size_t channels = ports.size();
    const bool capture = direction == Direction::Capture;
    float* port[kMaxChannels];
    for (std::size_t c = 0; c < channels; ++c) port[c] = static_cast<float*>(jack_port_get_buffer(ports[c], frames));
    // The period and the callback's block need not be the same size: a block
    // is handed over once filled (capture) or before it is played (playback),
    // and what is left of it waits for the next cycle.
    for (std::size_t done = 0; done < frames;) {
        if (!capture && blockAt == blockFrames) {
            handOver();
            blockAt = 0;
        }
        const std::size_t n = std::min<std::size_t>(frames - done, blockFrames - blockAt);
        for (std::size_t c = 0; c < channels; ++c) {
            for (std::size_t f = 0; f < n; ++f) {
                float& held = sample(c, blockAt + f);
                if (capture)
                    held = port[c][done + f];
                else
                    port[c][done + f] = held;
            }
        }
        blockAt += n;
        done += n;
        if (capture && blockAt == blockFrames) {
            handOver();
            blockAt = 0;
        }
    }
}

void JackStream::Core::onShutdown(void* arg) {
    auto* self = static_cast<Core*>(arg);
    // libjack now takes every client of the process for one of a dead server.
    clientsWrittenOff.store(true);
    long expected = 0;
    self->reporter.compare_exchange_strong(expected, static_cast<long>(::syscall(SYS_gettid)));
    self->serverGone.store(true, std::memory_order_release);
    self->ended.store(true, std::memory_order_release);
    self->wakeUp();
}

void JackStream::Core::onClientRegistration(const char* name, int registered, void* arg) {
    auto* self = static_cast<Core*>(arg);
    if (registered || !name || self->device != name) return;
    self->ended.store(true, std::memory_order_release);
    self->wakeUp();
}

}  // namespace vbz
