// Sending and receiving: the two worker threads and their queues, both
// transfer modes, abort, clear, the reconnection after an unplugged tower
// and the destructor's shutdown.
#include <new>

#include "internal.h"

using celvane::Port;

namespace {

// One queued transfer; the buffer is the caller's and must stay valid until
// the callback.
struct _ZMBPORTREQUEST {
  unsigned char* buffer;
  ULONG length;
  void* context;
};

// The caller's own reference may be the one a completion callback gives up
// while the call is still in the port: the call holds one of its own until
// it has left, so the port outlives it.
class CallHold {
 public:
  explicit CallHold(Port* port) : port_(port) { port_->addref(); }
  ~CallHold() { port_->release(); }
  CallHold(const CallHold&) = delete;
  CallHold& operator=(const CallHold&) = delete;

 private:
  Port* port_;
};

}  // namespace

LONG Port::initcommthread(LPTHREAD_START_ROUTINE function, DWORD* threadid, HANDLE* thread) {
  *thread = CreateThread(nullptr, 0, function, this, 0, threadid);
  if (*thread == nullptr) {
    *threadid = 0;
    return ZMB_E_THREADFAILED;
  }
  // The new thread has a queue only once it first waits for a message; the
  // probe is refused until then.
  const DWORD start = celvane::ClockSeconds();
  for (;;) {
    if (PostThreadMessageA(*threadid, ZMBPORT_MSG_INIT, 0, 0)) return ZMB_OK;
    if (celvane::ClockSeconds() - start >= 2) return ZMB_E_THREADFAILED;
    Sleep(0);
  }
}

DWORD Port::threadsend(LPVOID port) { return static_cast<Port*>(port)->worker(ZMB_PORT_TX); }

DWORD Port::threadrecv(LPVOID port) { return static_cast<Port*>(port)->worker(ZMB_PORT_RX); }

DWORD Port::worker(ULONG direction) {
  const bool tx = direction == ZMB_PORT_TX;
  const UINT request = tx ? ZMBPORT_MSG_SEND : ZMBPORT_MSG_RECV;
  const ULONG busyBit = tx ? ZMB_PORTSTATE_SENDING : ZMB_PORTSTATE_RECEIVING;
  const ULONG abortBit = tx ? ZMB_PORTSTATE_ABORTSEND : ZMB_PORTSTATE_ABORTRECV;
  for (;;) {
    MSG message;
    if (dying.load()) {
      // The last reference went in a callback on this thread: what is still
      // queued is carried out, then this thread destroys the object and
      // touches nothing of it afterwards.
      if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        delete this;
        return 0;
      }
    } else if (GetMessageA(&message, nullptr, 0, 0) <= 0) {
      return 0;
    }
    if (message.message == WM_QUIT || message.message == ZMBPORT_MSG_QUIT) return 0;
    if (message.message != request) continue;
    auto* work = reinterpret_cast<_ZMBPORTREQUEST*>(message.lParam);
    ULONG count = 0;
    const LONG result = tx ? sendwait(work->buffer, work->length, &count)
                           : recvwait(work->buffer, work->length, &count);
    // The transfer bit goes before the callback, so that the callback may
    // start the next transfer of its direction; the abort bit after it.
    statelock.enter();
    setstate(getstate() & ~busyBit);
    statelock.leave();
    const ZMBPORTCALLBACK callback = tx ? txcallback.load() : rxcallback.load();
    if (callback != nullptr) callback(direction, result, work->buffer, count, work->context);
    statelock.enter();
    setstate(getstate() & ~abortBit);
    statelock.leave();
    delete work;
  }
}

bool Port::onworkerthread() {
  const DWORD self = GetCurrentThreadId();
  return (sendthreadid != 0 && self == sendthreadid) || (recvthreadid != 0 && self == recvthreadid);
}

LONG Port::send(const unsigned char* data, ULONG length, ULONG* sent, void* context) {
  const CallHold hold(this);
  // The test and the setting of the transfer bit form one step.
  statelock.enter();
  if ((getstate() & ZMB_PORTSTATE_SENDING) != 0) {
    statelock.leave();
    return ZMB_E_BUSY;
  }
  setstate(getstate() | ZMB_PORTSTATE_SENDING);
  statelock.leave();

  sendlock.enter();
  LONG result;
  if (txmode.load() == ZMB_PORTMODE_SYNC) {
    result = sendwait(data, length, sent);
    statelock.enter();
    setstate(getstate() & ~(ZMB_PORTSTATE_SENDING | ZMB_PORTSTATE_ABORTSEND));
    statelock.leave();
  } else {
    auto* work =
        new (std::nothrow) _ZMBPORTREQUEST{const_cast<unsigned char*>(data), length, context};
    if (work == nullptr) {
      result = ZMB_E_OUTOFMEMORY;
    } else if (!PostThreadMessageA(sendthreadid, ZMBPORT_MSG_SEND, 0,
                                   reinterpret_cast<LPARAM>(work))) {
      delete work;
      result = ZMB_E_SENDFAILED;
    } else {
      if (sent != nullptr) *sent = 0;
      result = ZMB_S_PENDING;
    }
    // No transfer follows a request that was not queued.
    if (ZMB_FAILED(result)) {
      statelock.enter();
      setstate(getstate() & ~ZMB_PORTSTATE_SENDING);
      statelock.leave();
    }
  }
  sendlock.leave();
  return result;
}

LONG Port::recv(unsigned char* buffer, ULONG length, ULONG* received, void* context) {
  const CallHold hold(this);
  // No receive starts while a send is in progress.
  statelock.enter();
  if ((getstate() & (ZMB_PORTSTATE_RECEIVING | ZMB_PORTSTATE_SENDING)) != 0) {
    statelock.leave();
    return ZMB_E_BUSY;
  }
  setstate(getstate() | ZMB_PORTSTATE_RECEIVING);
  statelock.leave();

  recvlock.enter();
  LONG result;
  if (rxmode.load() == ZMB_PORTMODE_SYNC) {
    result = recvwait(buffer, length, received);
    statelock.enter();
    setstate(getstate() & ~(ZMB_PORTSTATE_RECEIVING | ZMB_PORTSTATE_ABORTRECV));
    statelock.leave();
  } else {
    auto* work = new (std::nothrow) _ZMBPORTREQUEST{buffer, length, context};
    if (work == nullptr) {
      result = ZMB_E_OUTOFMEMORY;
    } else if (!PostThreadMessageA(recvthreadid, ZMBPORT_MSG_RECV, 0,
                                   reinterpret_cast<LPARAM>(work))) {
      delete work;
      result = ZMB_E_RECVFAILED;
    } else {
      if (received != nullptr) *received = 0;
      result = ZMB_S_PENDING;
    }
    if (ZMB_FAILED(result)) {
      statelock.enter();
      setstate(getstate() & ~ZMB_PORTSTATE_RECEIVING);
      statelock.leave();
    }
  }
  recvlock.leave();
  return result;
}

LONG Port::sendwait(const unsigned char* data, ULONG length, ULONG* written) {
  if (data == nullptr || length == 0) return ZMB_E_INVALIDARG;
  // A send on a closed port opens the first present tower.
  if ((getstate() & ZMB_PORTSTATE_OPEN) == 0 && ZMB_FAILED(restoreconnection()))
    return ZMB_E_NOTOPEN;
  if ((getstate() & ZMB_PORTSTATE_SENDING) == 0) return ZMB_E_WRONGSTATE;
  ULONG own = 0;
  if (written == nullptr) written = &own;
  for (int attempt = 1;; ++attempt) {
    DWORD count = 0;
    const BOOL ok = WriteFile(towerhandle.load(), data, length, &count, nullptr);
    *written = count;
    if ((getstate() & ZMB_PORTSTATE_ABORTSEND) != 0) return ZMB_E_ABORTED;
    // A short write is still a success.
    if (ok) return ZMB_OK;
    // The tower is there: the failure is final.
    if (islineon()) return ZMB_E_SENDFAILED;
    // Taken for unplugged: close, reopen the first tower found, write again.
    const LONG closed = close();
    if (ZMB_SUCCEEDED(closed) && ZMB_FAILED(restoreconnection())) return ZMB_E_RECONNECTFAILED;
    if (attempt == 2) {
      if (ZMB_FAILED(closed)) return closed;
      // The port is open again, but nothing was written: a failure, not the
      // success of the reconnection.
      return ZMB_E_SENDFAILED;
    }
  }
}

LONG Port::recvwait(unsigned char* buffer, ULONG length, ULONG* read) {
  if (buffer == nullptr || length == 0) return ZMB_E_INVALIDARG;
  // A receive never reconnects.
  if ((getstate() & ZMB_PORTSTATE_OPEN) == 0) return ZMB_E_NOTOPEN;
  if ((getstate() & ZMB_PORTSTATE_RECEIVING) == 0) return ZMB_E_WRONGSTATE;
  ULONG own = 0;
  if (read == nullptr) read = &own;
  DWORD count = 0;
  const BOOL ok = ReadFile(towerhandle.load(), buffer, length, &count, nullptr);
  *read = count;
  if ((getstate() & ZMB_PORTSTATE_ABORTRECV) != 0) return ZMB_E_ABORTED;
  if (!ok) return ZMB_E_RECVFAILED;
  // The bytes that did arrive are in the buffer and the count.
  return count < length ? ZMB_E_TIMEOUT : ZMB_OK;
}

LONG Port::findopenfirstport() {
  if (towerhandle.load() != INVALID_HANDLE_VALUE) return ZMB_E_ALREADYOPEN;
  // The first present tower that opens. One search is walked from start to
  // end: findnext would search afresh for every step, and a tower whose
  // removal completes between two steps (the unplugged one, just closed)
  // would shift the positions and hide the tower after it.
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) return ZMB_E_NOPORT;
  LONG found = ZMB_E_NOPORT;
  _ZMBPORTDESC descriptor{};
  descriptor.index = 1;
  do {
    // Named as the search descriptors name it: by its path, or by its
    // position when the path cannot be copied.
    celvane::FillPath(find, &descriptor);
    if (ZMB_SUCCEEDED(open(descriptor.path, nullptr))) {
      found = ZMB_OK;
      break;
    }
    ++descriptor.index;
  } while (QIROTowerFindNext(find));
  QIROTowerFindStop(find);
  return found;
}

LONG Port::restoreconnection() {
  // Remembered first: open clears both.
  const WORD range = static_cast<WORD>(savedrange.load());
  const WORD linkmode = static_cast<WORD>(savedlinkmode.load());
  const LONG result = findopenfirstport();
  if (ZMB_FAILED(result)) return result;
  const HANDLE handle = towerhandle.load();
  if (linkmode != 0 && QIROTowerSetLinkMode(handle, linkmode)) savedlinkmode.store(linkmode);
  if (range != 0 && QIROTowerSetRange(handle, range)) savedrange.store(range);
  return result;
}

LONG Port::settxmode(ULONG mode, ZMBPORTCALLBACK callback) {
  if (!(mode == ZMB_PORTMODE_SYNC || (mode == ZMB_PORTMODE_CALLBACK && callback != nullptr)))
    return ZMB_E_INVALIDARG;
  txmodelock.enter();
  txmode.exchange(mode);
  txcallback.store(callback);
  txmodelock.leave();
  return ZMB_OK;
}

LONG Port::gettxmode(ULONG* mode, ZMBPORTCALLBACK* callback) {
  if (mode == nullptr) return ZMB_E_INVALIDARG;
  *mode = txmode.load();
  if (callback != nullptr) *callback = txcallback.load();
  return ZMB_OK;
}

LONG Port::setrxmode(ULONG mode, ZMBPORTCALLBACK callback) {
  if (!(mode == ZMB_PORTMODE_SYNC || (mode == ZMB_PORTMODE_CALLBACK && callback != nullptr)))
    return ZMB_E_INVALIDARG;
  rxmodelock.enter();
  rxmode.exchange(mode);
  rxcallback.store(callback);
  rxmodelock.leave();
  return ZMB_OK;
}

LONG Port::getrxmode(ULONG* mode, ZMBPORTCALLBACK* callback) {
  if (mode == nullptr) return ZMB_E_INVALIDARG;
  *mode = rxmode.load();
  if (callback != nullptr) *callback = rxcallback.load();
  return ZMB_OK;
}

LONG Port::clear(ULONG sides) {
  if (sides < 1 || sides > 3) return ZMB_E_INVALIDARG;
  if ((getstate() & ZMB_PORTSTATE_OPEN) == 0) return ZMB_E_NOTOPEN;
  return QIROTowerFlush(towerhandle.load(), static_cast<WORD>(sides)) ? ZMB_OK : ZMB_E_CLEARFAILED;
}

LONG Port::abort(ULONG sides) {
  if (sides < 1 || sides > 3) return ZMB_E_INVALIDARG;
  if ((getstate() & ZMB_PORTSTATE_OPEN) == 0) return ZMB_E_NOTOPEN;
  statelock.enter();
  const ULONG current = getstate();
  ULONG mask = 0;
  if ((sides & ZMB_PORT_TX) != 0 && (current & ZMB_PORTSTATE_SENDING) != 0)
    mask |= ZMB_PORTSTATE_ABORTSEND;
  if ((sides & ZMB_PORT_RX) != 0 && (current & ZMB_PORTSTATE_RECEIVING) != 0)
    mask |= ZMB_PORTSTATE_ABORTRECV;
  setstate(current | mask);
  statelock.leave();
  // The transfer sees its bit when its platform call returns; the end of the
  // transfer clears it. Three clock seconds at most.
  const DWORD start = celvane::ClockSeconds();
  while ((getstate() & mask) != 0) {
    if (celvane::ClockSeconds() - start >= 3) break;
    Sleep(0);
  }
  if ((getstate() & mask) != 0) setstate(ZMB_PORTSTATE_OPEN);
  return ZMB_OK;
}

void Port::stopthread(HANDLE* thread, DWORD* threadid) {
  if (*threadid == 0 || *thread == nullptr || *thread == INVALID_HANDLE_VALUE) return;
  // A worker destroying the object (its callback gave up the last
  // reference) does not wait for itself.
  if (*threadid != GetCurrentThreadId()) {
    // Requests posted before the quit are carried out first. A worker whose
    // queue never came to be (its probe gave up) cannot take the quit; it is
    // waited for only until it has ended.
    while (!PostThreadMessageA(*threadid, ZMBPORT_MSG_QUIT, 0, 0)) {
      if (WaitForSingleObject(*thread, 10) == WAIT_OBJECT_0) break;
    }
    WaitForSingleObject(*thread, INFINITE);
  }
  *threadid = 0;
  CloseHandle(*thread);
  *thread = INVALID_HANDLE_VALUE;
}

Port::~ZmbPort_USB_Win32__ThreadSafe() {
  stopthread(&sendthread, &sendthreadid);
  stopthread(&recvthread, &recvthreadid);
  close();
  // The locks go with the members, in the reverse of their order.
}
