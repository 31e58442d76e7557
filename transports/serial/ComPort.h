#pragma once

#include "ComConfig.h"
#include "ComError.h"
#include "ComEvents.h"
#include "ComLineControl.h"
#include "ComPortSettings.h"
#include "ComPortTypes.h"
#include "Component.h"
#include "Lifetime.h"
#include "PostedCall.h"
#include "ProcessNice.h"
#include "StringList.h"
#include "Thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace NorvEngineering::Serial {

struct TComEventLink;
class TComInputStore;

// Counters of the serial driver (TIOCGICOUNT): line errors, breaks and modem-line
// transitions since the driver started counting.
struct TLineCounters {
    uint64_t frame = 0;
    uint64_t overrun = 0;
    uint64_t parity = 0;
    uint64_t brk = 0;
    uint64_t bufferOverrun = 0;
    uint64_t cts = 0;
    uint64_t dsr = 0;
    uint64_t ring = 0;
    uint64_t dcd = 0;
};

// Reads the driver's counters of a device; false (errno set) when it has none.
bool readLineCounters(int fd, TLineCounters& counters);

// One serial device of the machine, opened exclusively and without becoming the
// controlling terminal. The line settings, flow control, characters, buffer sizes
// and time-outs are kept as properties and applied to the device when it opens and
// again whenever one of them changes while it is open. Every failure is raised as an
// EComError through RaiseError, where an OnError handler may turn it into the silent
// abort. Line events come from the port's event thread (see ComThread.h).
//
// Device names: "COMn" and "\\.\COMn" name /dev/ttyS(n-1); any other name, such as
// /dev/ttyUSB0 or a pseudo-terminal's path, is used unchanged.
//
// Settings that a Linux serial line cannot take (4 data bits, 1.5 stop bits with more
// than 5 data bits, DTR handshake, RTS toggle, DSR flow and sensitivity, discarding
// NUL bytes, stopping on errors, an error replacement character other than NUL) are
// refused with an EComError rather than silently replaced by something else.
//
// The port sets its line to raw bytes whatever state the terminal was left in. One
// that is still in line mode (nobody has set it up for a device) also loses the
// kernel's interactive XON/XOFF unless FlowControl XOnXOff asks for it; at xcDefault a
// line that was set up otherwise keeps its own.
//
// A few settings are kept (and go into configuration records) but have no effect on
// Linux, whatever their value:
// - FlowControl XOnLimit and XOffLimit: the kernel sends XOFF and XON at fixed fill
//   levels of its own input queue.
// - Characters Eof: it ends input only for a line in text mode, and the port always
//   sets its line to raw bytes.
// - Characters Event: a Linux terminal tells of arriving bytes only by handing them
//   over, and nothing watches what is handed over for a character; OnRxFlag never
//   fires (nor do OnEvent1, OnEvent2 and OnPrinterError).
// - opTXContinueOnXOff: a Linux line always goes on sending after it has sent XOFF
//   to hold the other side's output, with the option or without it.
//
// Only one thread may use a port at a time; with SynchronizeEvents (the default)
// every event handler runs on the main thread. While it does and OnRxChar is bound,
// the event thread reads what arrives ahead of the port's reads, at most
// TComInputStore::kCapacity bytes, so that input survives the other side hanging up
// before the main thread comes; the port's input queue is that store followed by the
// driver's queue, and every read, count and purge below sees it so. On the main
// thread the port's notifications (line events, OnError, the close after a hang-up)
// never nest: a handler may run the main thread's loop, and what the event thread
// reports meanwhile runs, in order, once that handler has returned.
class TCustomComPort : public Platform::TComponent {
public:
    explicit TCustomComPort(Platform::TComponent* owner);
    ~TCustomComPort() override;

    // ---- properties ---------------------------------------------------------------
    bool Active() const { return GetActive(); }
    void SetActive(bool value);
    TBaudRate BaudRate() const { return m_baudRate_; }
    void SetBaudRate(TBaudRate value);
    // The number behind BaudRate (0 for brDefault); setting it to another rate than the
    // one in force selects brCustom.
    int32_t CustomBaudRate() const;
    void SetCustomBaudRate(int32_t value);
    TDataBits DataBits() const { return m_dataBits_; }
    void SetDataBits(TDataBits value);
    TParity Parity() const { return m_parity_; }
    void SetParity(TParity value);
    TStopBits StopBits() const { return m_stopBits_; }
    void SetStopBits(TStopBits value);
    TOptions Options() const { return m_options_; }
    void SetOptions(TOptions value);
    const std::string& DeviceName() const { return m_deviceName_; }
    void SetDeviceName(const std::string& value);
    bool SynchronizeEvents() const { return m_synchronizeEvents_; }
    void SetSynchronizeEvents(bool value);
    // The scheduling priority of the whole process while the port is open: every
    // thread of the process runs at the class's level (threads started meanwhile
    // inherit it); the close, from whichever thread, puts back the level of every thread
    // still at the class's. The event thread runs at its own ThreadPriority.
    TPriorityClass PriorityClass() const { return m_priorityClass_; }
    void SetPriorityClass(TPriorityClass value);
    Platform::TThreadPriority ThreadPriority() const { return m_threadPriority_; }
    void SetThreadPriority(Platform::TThreadPriority value);
    TFlowControl* FlowControl() const { return m_pFlowControl_.get(); }
    void SetFlowControl(const TFlowControl& value) { m_pFlowControl_->Assign(value); }
    TCharacters* Characters() const { return m_pCharacters_.get(); }
    void SetCharacters(const TCharacters& value) { m_pCharacters_->Assign(value); }
    TBufferSizes* BufferSizes() const { return m_pBufferSizes_.get(); }
    void SetBufferSizes(const TBufferSizes& value) { m_pBufferSizes_->Assign(value); }
    TTimeouts* Timeouts() const { return m_pTimeouts_.get(); }
    void SetTimeouts(const TTimeouts& value) { m_pTimeouts_->Assign(value); }
    std::string About() const;

    // ---- operations -----------------------------------------------------------------
    void Open();
    // Before the device closes, what the port has accepted goes out as far as the line
    // lets it within the write time-outs (or about twice the time the bytes take at
    // the line rate), at most kCloseWaitLimit; only what is still held then is dropped.
    static constexpr std::chrono::seconds kCloseWaitLimit{10};
    void Close();
    bool GetActive() const;

    // Transfers. Without waiting, what cannot move at once stays pending until the
    // matching wait (or the next transfer) completes it; a pending read keeps writing
    // into the caller's buffer, a pending write works on the port's own copy.
    void Read(void* buffer, int32_t count, bool waitOnCompletion);
    // Reads what the input queue holds now, at most `count` bytes, with at most one
    // call to the device: never waits and leaves no transfer pending. Returns the
    // count read (0 when nothing waits). While the event thread reads ahead, bytes it
    // has read are all that is taken when there are any (it announces the rest as it
    // reads it). An earlier pending read is completed first, as by Read.
    int32_t ReadAvailable(void* buffer, int32_t count);
    void Write(const void* buffer, int32_t count, bool waitOnCompletion);
    void WaitForReadCompletion();
    void WaitForWriteCompletion();
    // Whether a transfer is still under way, after moving what can move now. They only
    // ask and never raise: a transfer that the device failed is no longer pending, and
    // its failure is raised by the wait for it (or by the next transfer).
    bool ReadPending();
    bool WritePending();

    // Bytes not yet read (what the event thread has read ahead and the driver's input
    // queue; a device that has gone counts as empty while bytes read ahead remain);
    // bytes not yet sent (the driver's output queue and what a pending write still
    // holds). Report line errors to OnLineError first.
    int32_t InputCount();
    int32_t OutputCount();
    // Bytes of memory that the port holds for input read ahead; a closed port holds none.
    std::size_t ReadAheadMemory() const;

    void PurgeInput();
    void PurgeOutput();
    void ClearInput();
    void ClearOutput();
    void AbortInput();
    void AbortOutput();
    // Completes a pending write and waits until the driver has sent its output queue.
    // Under flow control that never releases the line, it gives up with "Timeout"
    // after the write time-outs (or, without them, after about twice the time the
    // queued bytes take at the line rate).
    // A write or Flush that gives up with "Timeout" drops what has not left (the rest
    // of the pending write and the driver's output queue): bytes reported as not sent
    // never reach the device later, in front of the next write.
    void Flush();

    // Adds the machine's serial devices as paths that DeviceName accepts, in a stable
    // order; needs no open port.
    void EnumComDevices(Platform::TStrings* list) const;
    // Adds every terminal device that the system lists (consoles, virtual terminals,
    // serial ports with or without a UART behind them, pseudo-terminals), in the
    // same order; needs no open port.
    void EnumDevices(Platform::TStrings* list) const;

    // ---- typed and text transfers (through Read and Write) -------------------------------
    // The readers wait for their bytes (within the read time-outs); the writers do
    // not wait, and the port keeps its own copy of what they write. Words and double
    // words travel in the machine's memory order.
    char ReadChar();
    uint8_t ReadByte();
    uint16_t ReadWord();
    uint32_t ReadDWord();
    void WriteChar(char value);
    void WriteByte(uint8_t value);
    void WriteWord(uint16_t value);
    void WriteDWord(uint32_t value);
    // Reads character by character up to and including `last`.
    std::string ReadUntil(char last);
    // Up to and including a carriage return; a line feed is an ordinary character.
    std::string ReadLine();
    // What the input queue holds now; empty, without waiting, when it holds nothing.
    std::string ReadString();
    void WriteString(const std::string& text);

    // ---- line control ----------------------------------------------------------------------
    // Sends one character ahead of what the port still holds of a pending write.
    // Bytes already in the kernel's output queue cannot be overtaken by an arbitrary
    // character; the device's START and STOP characters (Characters.XOn and XOff)
    // can, and they go out even while a received XOFF holds the output. When the
    // device takes no character at once (output suspended by SetXOff, the queue full,
    // an ordinary character under a received XOFF) the call fails with the system's
    // "would block" error instead of waiting.
    void TransmitChar(char value);
    void SetBreak();
    void ClearBreak();
    void SetDTR();
    void ClearDTR();
    void SetRTS();
    void ClearRTS();
    // Act as if XON (XOFF) had been received: output resumes, whoever held it (is
    // suspended). A port that suspended output resumes it when it closes.
    void SetXOn();
    void SetXOff();
    // A Linux serial device cannot be reset through its line: always an EComError.
    void ResetDevice();
    // The modem input lines that are on; the empty set while designing. A device
    // without modem lines (a pseudo-terminal, some adapters) raises the system's
    // error, as do the DTR and RTS calls there (a pseudo-terminal takes a break and
    // sends nothing).
    TModemStatus ModemStatus();
    // Replaces the system calls behind the line control and ModemStatus.
    void SetLineControlCalls(TLineControlCalls calls) { m_lineCalls_ = std::move(calls); }

    // ---- configuration ----------------------------------------------------------------------
    // The device's default configuration: the settings the device DeviceName keeps
    // now, read without changing them (through the port when it holds the device,
    // else through a descriptor of its own; opening a device that nobody holds acts
    // on its modem lines as every open does). Storing it applies the record to the
    // device's settings and leaves its other terminal settings alone; it fails with
    // "device busy" while another port holds the device. A terminal in line mode stays
    // in it: XON/XOFF stored there goes with line mode when a port at xcDefault opens
    // it (see the class comment); stored on a line that a port has set up, it stays.
    TComConfig DefaultConfig();
    void SetDefaultConfig(const TComConfig& config);
    // The record filled from the properties, starting from `config`: only properties
    // that are not at their default value replace its line settings and flow
    // control; characters, limits and options are always written.
    void CopyDCBTo(TComConfig& config) const;
    // The properties taken from the record: the rate through CustomBaudRate, the
    // characters, the limits and the options through their setters; data bits,
    // parity, stop bits and the DTR, RTS and XON/XOFF controls stored without being
    // applied (where a default value and a named value mean the same setting, the
    // named value is taken). A record that the line cannot take raises where a
    // setter applies it, with the properties before it already taken.
    void CopyDCB(const TComConfig& config);
    // Show OnConfigDialog with the device's default configuration overlaid by the
    // properties; on confirmation the record becomes the properties (applied to the
    // open device). DefaultConfigDialog shows the device's default configuration and
    // on confirmation stores it back, leaving the properties alone. Both return true
    // when the user confirmed; without an OnConfigDialog they report an EComError
    // to OnError and return false, changing nothing.
    bool ConfigDialog();
    bool DefaultConfigDialog();

    void CheckActive();
    void CheckInactive();
    // Raises the calling thread's last system error (errno) when `success` is false;
    // nothing when that error is 0 or says the operation is merely in progress.
    void Check(bool success);
    [[noreturn]] void RaiseError(int32_t code, const std::string& message);

    void CheckLineErrors();
    void ClearLineErrors();
    static TLineErrors GetLineErrors(const TLineCounters& delta);

    // ---- the event thread's face (ComThread.cpp) ---------------------------------------
    // Recomputes the event mask from the bound line handlers; starts or stops the
    // event thread accordingly.
    void SetComEventMask();
    void CreateThread();
    void DestroyThread();
    uint32_t EventMask() const { return m_eventMask_; }
    // Dispatches one batch of line events to the bound handlers, in the fixed order.
    void ThreadDoEvent(uint32_t events);
    // The event thread, under its session: merges a batch into the one waiting for
    // the main thread and asks the main thread to run it, without waiting.
    void PostThreadEvents(uint32_t events);
    // On the main thread, for a thread that synchronises each batch: merges the batch
    // into what waits and runs it as RunPostedEvents does.
    void RunThreadEvents(uint32_t events);
    // On the main thread: asks for a batch of these events behind what the main thread
    // has queued, as if the event thread had seen them (a handler that left input
    // behind that no arrival will announce asks for another turn so).
    void PostEvents(uint32_t events);
    // On the main thread: dispatches the waiting batch, if any, and then a failure that
    // the event thread waits to have reported. Notifications of one port never nest:
    // called while one of them runs (its handler runs the main thread's loop), it
    // leaves everything for that one to run once it has returned, in order.
    void RunPostedEvents();
    // The event bits that an event thread has handed to the main thread and that have
    // not run yet.
    uint32_t PostedEvents() const { return m_postedEvents_.load(std::memory_order_acquire); }
    // On the main thread, before a failure of the device is reported: OnRxChar again
    // as long as input read ahead remains and the handler takes some of it.
    void DeliverHeldInput();
    // Raises the event wait's failure through RaiseError (on the main thread).
    void RaiseThreadError(int32_t code);
    // Whether the port counts an event thread as its own (one that ended on a failed
    // wait still counts until the port closes), and the end of the latest thread.
    bool HasEventThread() const { return m_pEventLink_ != nullptr; }
    std::shared_ptr<Platform::TThreadCompletion> EventThreadCompletion() const {
        return m_pThreadCompletion_;
    }

    // Applying settings to the open device.
    void SetComBufferSizes();
    void SetComTimeouts();
    void SetComDCB();

    // The device's file descriptor; -1 while closed.
    int Handle() const { return m_handle_; }

    // ---- events ---------------------------------------------------------------------------
    TOpenCloseEvent AfterClose;
    TOpenCloseEvent AfterOpen;
    TReadWriteEvent AfterRead;
    TReadWriteEvent AfterWrite;
    TOpenCloseEvent BeforeClose;
    TOpenCloseEvent BeforeOpen;
    TReadWriteEvent BeforeRead;
    TReadWriteEvent BeforeWrite;
    TComErrorEvent OnError;
    TConfigDialogEvent OnConfigDialog;
    TLineNotifyEvent OnBreak{*this};
    TLineNotifyEvent OnCTSChange{*this};
    TLineNotifyEvent OnDSRChange{*this};
    TLineNotifyEvent OnEvent1{*this};
    TLineNotifyEvent OnEvent2{*this};
    TLineErrorEvent OnLineError{*this};
    TLineNotifyEvent OnPrinterError{*this};
    TLineNotifyEvent OnRing{*this};
    TLineNotifyEvent OnRLSDChange{*this};
    TLineNotifyEvent OnRx80PercFull{*this};
    TLineNotifyEvent OnRxChar{*this};
    TLineNotifyEvent OnRxFlag{*this}; // never fires on Linux (see the class comment)
    TLineNotifyEvent OnTxEmpty{*this};

protected:
    // Opens the device and applies every setting; on failure nothing stays open.
    virtual void CreateHandle();
    void FreeHandle();
    void Loaded() override;

private:
    struct TTransfer {
        bool active = false;
        char* target = nullptr;   // a read's destination
        std::vector<char> source; // a write's own copy
        std::size_t requested = 0;
        std::size_t done = 0;
        // The device failed it (an error number): no longer pending, raised by its wait.
        int failure = 0;
        std::chrono::steady_clock::time_point started;
        std::chrono::steady_clock::time_point lastByte;
    };

    bool designing_() const { return hasState(Platform::csDesigning); }
    void openDevice_();
    void applyModemControl_();
    void progressRead_(bool raise);
    // Waits (at most `timeout` ms, -1 for no limit) until input may have come.
    void waitForInput_(int timeout);
    // Input read ahead: who reads it, how much of it waits; and the reader's wake-up
    // after the port made room in a full store.
    void updateReadAhead_();
    // Runs the failure report that the event thread waits for, if there is one.
    void runThreadReport_();
    // Marks a notification that the port raises on the main thread outside its
    // dispatch (OnError of a failed call): news of the event thread that knocks
    // meanwhile waits, and gets its turn once the notification has returned.
    class TNotificationScope {
    public:
        explicit TNotificationScope(TCustomComPort& port);
        TNotificationScope(const TNotificationScope&) = delete;
        TNotificationScope& operator=(const TNotificationScope&) = delete;
        ~TNotificationScope();

    private:
        TCustomComPort& m_port_;
        Platform::TLifetimeRef m_life_;
        bool m_outer_ = false;
    };
    // After a notification that held news back: the news gets its turn.
    void resumeHeldBack_();
    std::size_t heldInput_();
    void wakeReader_(bool wake);
    // Drops what waits (read ahead and the driver's queue).
    void discardInput_();
    // False when the device failed and `raise` is not set.
    bool progressWrite_(bool raise);
    std::optional<std::chrono::steady_clock::time_point> writeDeadline_() const;
    // Sends the rest of the pending write; false when the deadline passed first.
    bool sendPending_(std::optional<std::chrono::steady_clock::time_point> deadline, bool raise);
    bool drainOutput_(std::optional<std::chrono::steady_clock::time_point> deadline);
    // Drops what has not left: the pending write and the driver's output queue.
    void discardUnsent_();
    [[noreturn]] void giveUpOutput_();
    void finishOutput_();
    std::chrono::milliseconds lineTime_(std::size_t bytes) const;
    bool readLineCounters_(TLineCounters& counters);
    void reportLineErrors_();
    void restorePriorityClass_();

    // Ended first by the destructor: code that called out to a handler learns from it
    // whether the handler destroyed the port, and a direct batch of an event thread
    // holds it, so the port is never freed under one.
    Platform::TLifetime m_life_;
    bool m_storedActive_ = false;
    int m_handle_ = -1;
    bool m_exclusive_ = false;
    std::shared_ptr<TComEventLink> m_pEventLink_;
    // The latest event thread's time with the port: ended when the thread is stopped,
    // which waits for a direct batch that runs at that moment.
    std::unique_ptr<Platform::TLifetime> m_pEventSession_;
    std::shared_ptr<Platform::TThreadCompletion> m_pThreadCompletion_;
    // Batches handed to the main thread without waiting (made on the main thread when
    // a synchronising thread first starts there), and the event bits that wait for
    // their turn; a stopped thread's bits are dropped.
    std::unique_ptr<Platform::TPostedCall> m_pEventCall_;
    std::atomic<uint32_t> m_postedEvents_{0};
    // On the main thread: a notification of the port runs (see RunPostedEvents), and
    // news came meanwhile that it runs when it returns. While that news waits, the
    // event thread need not ask the main thread for a turn (m_heldBack_).
    bool m_dispatching_ = false;
    bool m_deferred_ = false;
    std::atomic<bool> m_heldBack_{false};
    // Shared with each event thread in turn; emptied and freed when the port closes.
    std::shared_ptr<TComInputStore> m_pInput_;
    uint32_t m_eventMask_ = 0;
    TTransfer m_read_;
    TTransfer m_write_;
    uint32_t m_readRequested_ = 0;
    uint32_t m_writeRequested_ = 0;
    TProcessNice m_processNice_;
    int32_t m_threadError_ = 0;
    TLineCounters m_lineBaseline_;
    bool m_countersKnown_ = false;
    // The open device has shown that it keeps no counters (a pseudo-terminal): not asked again.
    bool m_noCounters_ = false;

    Platform::TThreadPriority m_threadPriority_ = Platform::tpTimeCritical;
    int32_t m_customBaudRate_ = 0;
    TBaudRate m_baudRate_ = brDefault;
    std::unique_ptr<TFlowControl> m_pFlowControl_;
    std::unique_ptr<TCharacters> m_pCharacters_;
    std::unique_ptr<TBufferSizes> m_pBufferSizes_;
    std::unique_ptr<TTimeouts> m_pTimeouts_;
    TDataBits m_dataBits_ = dbDefault;
    std::string m_deviceName_ = "COM2";
    TParity m_parity_ = paDefault;
    TPriorityClass m_priorityClass_ = pcDefault;
    TOptions m_options_;
    TStopBits m_stopBits_ = sbDefault;
    bool m_synchronizeEvents_ = true;
    TLineControlCalls m_lineCalls_ = TLineControlCalls::System();
    // Set by SetXOff: output stays suspended until SetXOn or the close.
    bool m_outputSuspended_ = false;
};

// The port as a published component; it adds nothing to TCustomComPort.
class TComPort : public TCustomComPort {
public:
    explicit TComPort(Platform::TComponent* owner) : TCustomComPort(owner) {}
};

} // namespace NorvEngineering::Serial
