#include "io/named_pipe.h"

#include "io/worker_thread.h"
#include "support/console.h"

#include <chrono>

namespace {
// One less, but never below zero (the device's thread and the service's may both count).
bool take_one(std::atomic<int32_t>& count)
{
    for (int32_t n = count.load(); n > 0;)
        if (count.compare_exchange_weak(n, n - 1))
            return true;
    return false;
}

// FILE_FLAG_FIRST_PIPE_INSTANCE: no other process can take a name first. PIPE_REJECT_REMOTE_CLIENTS:
// local clients only. Wine 8 accepts both flags and the security descriptor below, but enforces
// neither the first instance nor the descriptor (any process opens the pipe there); they are
// kept for Windows.
constexpr DWORD PIPE_OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD PIPE_MODE = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

// Processes of the same user only: a DACL that grants the current user and SYSTEM, nobody else.
class PipeSecurity {
public:
    PipeSecurity()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        DWORD size = 0;
        const BOOL have_user = GetTokenInformation(token, TokenUser, user_, sizeof user_, &size);
        CloseHandle(token);
        DWORD system_size = sizeof system_;
        if (!have_user || !CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &system_size))
            return;
        auto* acl = reinterpret_cast<ACL*>(acl_);
        const PSID user = reinterpret_cast<TOKEN_USER*>(user_)->User.Sid;
        ok_ = InitializeAcl(acl, sizeof acl_, ACL_REVISION) && AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, user) &&
              AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system_) &&
              InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
        attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    }
    // Null when the descriptor could not be built: the pipe is then not created at all.
    SECURITY_ATTRIBUTES* Attributes() { return ok_ ? &attributes_ : nullptr; }

private:
    alignas(8) BYTE user_[128]; // TOKEN_USER and its SID (at most 68 bytes)
    alignas(8) BYTE system_[SECURITY_MAX_SID_SIZE];
    alignas(8) BYTE acl_[256];
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ok_ = false;
};

void print_error(const char* format, DWORD error)
{
    console_print(ConsoleStream::Out, format, static_cast<unsigned>(error), static_cast<int>(error));
}

} // namespace

CcNamedPipe::CcNamedPipe()
{
    NamedPipeAsyncIo.Reset();
}

CcNamedPipe::~CcNamedPipe()
{
    Close();
}

void CcNamedPipe::Init(PipeOwner* owner, int32_t pipe_number, uint32_t in_size, uint32_t out_size)
{
    mOwner = owner;
    mPipeNumber = pipe_number;
    mInSize = in_size;
    mOutSize = out_size;
}

BOOL CcNamedPipe::Create()
{
    if (mPipe != INVALID_HANDLE_VALUE)
        return TRUE;
    char name[128];
    if (!MakePipeName(name, sizeof name, mPipeNumber))
        return FALSE;
    PipeSecurity security;
    if (!security.Attributes())
        return FALSE;
    const std::lock_guard hold(mHandleLock);
    mPipe = CreateNamedPipeA(name, PIPE_OPEN_MODE, PIPE_MODE, 1, mOutSize, mInSize, PIPE_DEFAULT_TIMEOUT_MS,
                             security.Attributes());
    if (mPipe == INVALID_HANDLE_VALUE)
        return FALSE;
    mConnected = FALSE;
    mLongMessage = 0;
    mPending = ConnectToNewClient();
    return TRUE;
}

void CcNamedPipe::Close()
{
    // A writer holds the lock only while it starts or cancels: one that keeps it longer was ended
    // with the process, and the close goes on without it.
    std::unique_lock hold(mHandleLock, std::defer_lock);
    (void)hold.try_lock_for(std::chrono::milliseconds(PIPE_DEFAULT_TIMEOUT_MS));
    if (mPipe != INVALID_HANDLE_VALUE) {
        if (mPending) {
            // The system writes into the overlapped block until the operation has ended.
            CancelIoEx(mPipe, &NamedPipeAsyncIo.overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(mPipe, &NamedPipeAsyncIo.overlapped, &ignored, TRUE);
        }
        if (mConnected) {
            mConnected = FALSE;
            DisconnectNamedPipe(mPipe);
        }
        CloseHandle(mPipe);
    }
    mPipe = INVALID_HANDLE_VALUE;
}

BOOL CcNamedPipe::ConnectToNewClient()
{
    if (mPipe == INVALID_HANDLE_VALUE)
        return FALSE;
    // The flags are set here too, so that they always match the overlapped block: after a connect
    // that ends at once, the block may still read as pending.
    mPending = FALSE;
    DWORD error = 0;
    if (ConnectNamedPipe(mPipe, &NamedPipeAsyncIo.overlapped)) {
        error = ERROR_PIPE_CONNECTED;
    } else {
        error = GetLastError();
        if (error == ERROR_IO_PENDING)
            return mPending = TRUE;
    }
    // A client came between creation and this call: the event is set by hand.
    if (error == ERROR_PIPE_CONNECTED) {
        mConnected = SetEvent(GetEvent());
        if (mConnected)
            return FALSE;
        error = GetLastError();
    }
    print_error("CcNamedPipe::ConnectToNewClient() FAILED: lastError %#x / %d\n", error);
    return FALSE;
}

void CcNamedPipe::ReconnectToClient()
{
    if (mPipe == INVALID_HANDLE_VALUE)
        return;
    NamedPipeAsyncIo.bytes_transferred = 0;
    if (!mConnected)
        return;
    mConnected = FALSE;
    mLongMessage = 0; // what is left of a long message went with its client
    mStale = mOutstanding.exchange(0);
    mStaleUntil = GetTickCount64() + PIPE_STALE_MS;
    if (DisconnectNamedPipe(mPipe))
        mPending = ConnectToNewClient();
    else
        print_error("CcNamedPipe::ReconnectToClient() FAILED: lastError %#x / %d\n", GetLastError());
}

// Closes the pipe and creates it again, so that it listens anew. An instance that still cannot
// listen has its event cleared: it must not wake the owner again and again for nothing.
void CcNamedPipe::Relisten()
{
    Close();
    Create();
    if (!mPending && !mConnected)
        ResetEvent(GetEvent());
}

DWORD CcNamedPipe::CheckOverlappedResult()
{
    if (mPipe == INVALID_HANDLE_VALUE) {
        ResetEvent(GetEvent());
        return 0;
    }
    if (mDropRequested.exchange(false) && mConnected) {
        DropStalledClient();
        return 0;
    }
    BOOL result = 0;
    if (mPending) {
        result = NamedPipeAsyncIo.PollResult(mPipe);
        if (!result && NamedPipeAsyncIo.completion_error == ERROR_IO_INCOMPLETE) {
            // Woken while the operation is under way: clear the event first, so that its end
            // sets it again, then look once more.
            ResetEvent(GetEvent());
            result = NamedPipeAsyncIo.PollResult(mPipe);
            if (!result && NamedPipeAsyncIo.completion_error == ERROR_IO_INCOMPLETE)
                return 0;
        }
        mPending = FALSE; // the operation has ended, one way or the other
        if (!mConnected) {
            mConnected = result;
            mStalls = 0;
            if (!result)
                console_print(ConsoleStream::Out, "CcNamedPipe::CheckOverlappedResult connect to pipe client %d FAILED",
                              static_cast<int>(mPipeNumber));
        } else if (!result && NamedPipeAsyncIo.bytes_transferred == 0) {
            ReconnectToClient();
        } else {
            result = TakeRead(result != FALSE);
        }
    }
    if (!mConnected)
        ReconnectToClient();
    else if (!mPending)
        result = ReadWaiting(result);
    if (mDropRequested.exchange(false) && mConnected)
        DropStalledClient(); // asked while this service ran: a read's start cleared the event
    if (!mConnected && !mPending)
        Relisten();
    return result;
}

// Reads and forwards the messages already waiting, until a read is left pending, the client is
// gone or the batch is full.
BOOL CcNamedPipe::ReadWaiting(BOOL result)
{
    for (int taken = 0; mConnected; ++taken) {
        if (taken == PIPE_SERVICE_BATCH) { // the others' turn first; the event brings us back
            SetEvent(GetEvent());
            return result;
        }
        DWORD& bytes = NamedPipeAsyncIo.bytes_transferred;
        bytes = 0;
        NamedPipeAsyncIo.overlapped.InternalHigh = 0;
        result = ReadFile(mPipe, mReadBuffer, PIPE_READ_SIZE, &bytes, &NamedPipeAsyncIo.overlapped);
        const DWORD error = result ? 0 : GetLastError();
        // A longer message comes in parts; the count of this part is only in the overlapped block.
        if (error == ERROR_MORE_DATA)
            bytes = static_cast<DWORD>(NamedPipeAsyncIo.overlapped.InternalHigh);
        if (!result && bytes == 0) {
            NamedPipeAsyncIo.start_error = error;
            if (error == ERROR_IO_PENDING)
                mPending = TRUE;
            else
                ReconnectToClient();
        } else {
            result = TakeRead(error == 0);
        }
        if (mPending)
            return result;
    }
    return result;
}

BOOL CcNamedPipe::TakeRead(bool whole)
{
    const DWORD bytes = NamedPipeAsyncIo.bytes_transferred;
    if (mSplit || (whole && mLongMessage == 0)) // an empty message has nothing to forward
        return bytes ? WriteToMaster() : TRUE;
    // Never cut into several commands: the whole message goes.
    mLongMessage += bytes;
    if (whole) {
        ++mRefused;
        console_print(ConsoleStream::Out, "CcNamedPipe: a message of %u bytes from pipe client %d dropped: longer than %u bytes\n",
                      static_cast<unsigned>(mLongMessage), static_cast<int>(mPipeNumber), static_cast<unsigned>(PIPE_READ_SIZE));
        mLongMessage = 0;
    }
    return TRUE;
}

void CcNamedPipe::DropStalledClient()
{
    console_print(ConsoleStream::Out, "CcNamedPipe: pipe client %d takes no blocks: disconnected (%u blocks lost)\n",
                  static_cast<int>(mPipeNumber), static_cast<unsigned>(mLostBlocks.load()));
    if (mPending) { // the read ends before its buffer and block are used again
        CancelIoEx(mPipe, &NamedPipeAsyncIo.overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(mPipe, &NamedPipeAsyncIo.overlapped, &ignored, TRUE);
        mPending = FALSE;
    }
    ReconnectToClient();
    if (!mConnected && !mPending)
        Relisten();
}

BOOL CcNamedPipe::WriteToMaster()
{
    if (!mOwner)
        return FALSE;
    BOOL result = FALSE;
    // A command's answer is owed to this client from before it is sent: the device may answer
    // before the send returns, and that answer must find the count it settles.
    const bool command = mReadBuffer[0] < 0x80;
    for (int attempt = 1; attempt <= PIPE_FORWARD_ATTEMPTS && !result; ++attempt) {
        if (command)
            ++mOutstanding;
        result = mOwner->MsgToDevice(static_cast<uint8_t>(mPipeNumber), mReadBuffer,
                                     static_cast<uint16_t>(NamedPipeAsyncIo.bytes_transferred));
        if (result)
            break;
        if (command)
            take_one(mOutstanding);
        const DWORD error = GetLastError();
        if (error == ERROR_CRC)
            console_print(ConsoleStream::Out, "CcNamedPipe::WriteToMaster try %d failed.", attempt);
        else
            console_print(ConsoleStream::Out, "CcNamedPipe::WriteToMaster from pipe client %d FAILED (lE %#x / %d)",
                          static_cast<int>(mPipeNumber), static_cast<unsigned>(error), static_cast<int>(error));
    }
    return result;
}

namespace {
// The message code of a block as the device sends it ('O' blocks carry a 16-bit length first).
uint8_t block_code(const uint8_t* block, uint8_t length)
{
    const int at = (block[0] & 0x7F) == 0x4F ? 4 : 2;
    return length > at ? block[at] : 0;
}
} // namespace

BOOL CcNamedPipe::WriteToClient(const uint8_t* data, uint8_t length)
{
    if ((block_code(data, length) >> 6) == 2) { // a response
        if (GetTickCount64() < mStaleUntil && take_one(mStale)) {
            ++mStaleDropped;
            return FALSE;
        }
        take_one(mOutstanding);
    }
    AsyncIo io; // its own event: a read may be pending on the instance's event meanwhile
    // The lock only starts and cancels: held in a wait, it could outlive a thread that the
    // process's exit ends there.
    std::unique_lock hold(mHandleLock);
    const HANDLE pipe = mPipe;
    if (pipe == INVALID_HANDLE_VALUE)
        return FALSE;
    io.Reset();
    if (!WriteFile(pipe, data, length, nullptr, &io.overlapped) && GetLastError() != ERROR_IO_PENDING)
        return ++mLostBlocks, FALSE; // no client
    hold.unlock();
    const DWORD bound = mStalls > 0 ? 0 : PIPE_DEFAULT_TIMEOUT_MS;
    const HANDLE events[2] = {io.overlapped.hEvent, WorkerThread::CurrentStopEvent()};
    const bool stalled = WaitForMultipleObjects(events[1] ? 2 : 1, events, FALSE, bound) != WAIT_OBJECT_0;
    if (stalled) {
        hold.lock();
        if (mPipe == pipe) // else the close has ended the write already
            CancelIoEx(pipe, &io.overlapped);
        hold.unlock();
        WaitForSingleObject(io.overlapped.hEvent, INFINITE); // the write ends, written or not
    }
    DWORD written = 0;
    if (GetOverlappedResult(pipe, &io.overlapped, &written, FALSE) && written == length) {
        mStalls = 0;
        return TRUE;
    }
    ++mLostBlocks;
    if (stalled && ++mStalls == PIPE_STALLS_TO_DROP) {
        mDropRequested = true;
        SetEvent(GetEvent()); // the pipe service disconnects it
    }
    return FALSE;
}
