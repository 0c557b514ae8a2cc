// SerialPort on Windows: COMn opened for overlapped I/O. Every operation is
// issued and finished on the calling thread; no wait is unbounded except the
// completion of an operation that has just been cancelled.
#include <bit>

#include "serial/serial_port.h"

namespace {

constexpr DWORD write_wait_ms = 1000;
constexpr DWORD read_wait_ms = 10000;
constexpr DWORD queue_bytes = 10000;

// 8 data bits, no parity, 1 stop bit, binary; no hardware or XON/XOFF flow
// control; DTR held off and RTS held on (the instrument's cable wiring); a
// line error aborts I/O until ClearCommError, which every read path calls.
constexpr void set_line_settings(DCB& dcb, uint32_t baud) {
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 1;
    dcb.wReserved = 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
}

// The DCB seen as plain words, to check the flag bits above against the
// documented flag-word rule: new = (old AND 0xFFFFD081) OR 0x5081, the bits
// of the flag word that are not set by name keeping what GetCommState read.
struct DcbWords {
    DWORD length;
    DWORD baud;
    DWORD flags;
    DWORD rest[4];
};
static_assert(sizeof(DcbWords) == sizeof(DCB) && sizeof(DCB) == 28);

constexpr bool flags_follow_rule(DWORD old_flags) {
    DcbWords words{};
    words.flags = old_flags;
    DCB dcb = std::bit_cast<DCB>(words);
    set_line_settings(dcb, 38400);
    return std::bit_cast<DcbWords>(dcb).flags == ((old_flags & 0xFFFFD081u) | 0x5081u);
}
static_assert(flags_follow_rule(0) && flags_follow_rule(0xFFFFFFFFu) &&
              flags_follow_rule(0xA5A5A5A5u) && flags_follow_rule(0x5A5A5A5Au));

HANDLE new_event() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void close_handle(HANDLE& handle) {
    if (handle != nullptr) CloseHandle(handle);
    handle = nullptr;
}

// 1 when the port took the settings and the queue sizes.
int configure_port(HANDLE port, uint32_t baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    set_line_settings(dcb, baud);
    return SetCommState(port, &dcb) && SetupComm(port, queue_bytes, queue_bytes);
}

// Bytes in the driver's input queue, or -1 when the driver no longer answers
// for the port (its device is gone). ClearCommError also clears a line
// error, which with fAbortOnError set would otherwise fail every later read.
int32_t queued_input(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) return -1;
    return static_cast<int32_t>(status.cbInQue);
}

// A failed read or write: 1 when the device has gone away (an adapter
// pulled). An operation that a line error aborted (fAbortOnError) fails with
// ERROR_OPERATION_ABORTED too, so that one counts only when the driver no
// longer answers ClearCommError either.
int device_gone(HANDLE port, DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
        return 1;
    default:
        return queued_input(port) < 0;
    }
}

// Finishes the operation pending on record: waits up to wait_ms for it, and
// when it has not completed by then cancels it and waits for the
// cancellation, so that neither the record nor the operation's buffer is
// touched by the driver afterwards. Result: the bytes it transferred, or -1
// when the operation failed because the device has gone away.
int32_t finish_pending(HANDLE port, OVERLAPPED* record, DWORD wait_ms) {
    BOOL done = WaitForSingleObject(record->hEvent, wait_ms) == WAIT_OBJECT_0;
    if (!done) CancelIoEx(port, record);
    DWORD count = 0;
    if (!GetOverlappedResult(port, record, &count, !done) && done &&
        device_gone(port, GetLastError()))
        return -1;
    return static_cast<int32_t>(count);
}

} // namespace

int SerialPort::open(int32_t port_number, uint32_t baud) {
    if (is_open) return 1;
    char name[16];
    wsprintfA(name, "COM%d", static_cast<int>(port_number));
    port_handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port_handle == INVALID_HANDLE_VALUE) {
        port_handle = nullptr;
        return 0;
    }
    read_record = OVERLAPPED{};
    write_record = OVERLAPPED{};
    wait_record = OVERLAPPED{};
    wait_pending = 0;
    // Reads never ask for more than is queued; a write gives up after 5 s.
    COMMTIMEOUTS timeouts{MAXDWORD, 1, 20000, 0, 5000};
    SetCommTimeouts(port_handle, &timeouts);
    read_record.hEvent = new_event();
    write_record.hEvent = new_event();
    if (configure_port(port_handle, baud) && read_record.hEvent && write_record.hEvent) {
        // Only for idle waits: without it they fall back to short sleeps.
        if (SetCommMask(port_handle, EV_RXCHAR)) wait_record.hEvent = new_event();
        is_open = 1;
        lost = 0;
        return 1;
    }
    close_handle(read_record.hEvent);
    close_handle(write_record.hEvent);
    close_handle(port_handle);
    return 0;
}

int SerialPort::close() {
    if (!is_open || port_handle == nullptr) return 1;
    if (wait_pending) finish_pending(port_handle, &wait_record, 0);
    wait_pending = 0;
    close_handle(wait_record.hEvent);
    close_handle(read_record.hEvent);
    close_handle(write_record.hEvent);
    close_handle(port_handle);
    is_open = 0;
    return 1;
}

int SerialPort::write_byte(int byte) {
    // A closed port has no handle worth writing to (after a failed open the
    // old value would name a handle already closed, perhaps reused).
    if (!is_open || lost) return 1;
    char data = static_cast<char>(byte);
    DWORD written = 0;
    if (WriteFile(port_handle, &data, 1, &written, &write_record)) return 1;
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        if (device_gone(port_handle, error)) lost = 1;
        return 1; // refused: the byte is lost
    }
    // data lives on this stack frame: the write is over before it returns.
    if (finish_pending(port_handle, &write_record, write_wait_ms) < 0) lost = 1;
    return 1;
}

int32_t SerialPort::input_count() {
    if (!is_open || port_handle == nullptr || lost) return 0;
    int32_t waiting = queued_input(port_handle);
    if (waiting >= 0) return waiting;
    lost = 1;
    return 0;
}

int32_t SerialPort::read_available(char* buffer, int32_t max) {
    if (!is_open || port_handle == nullptr || max <= 0) return 0;
    int32_t waiting = input_count();
    if (lost) return read_port_lost;
    if (waiting == 0) return read_nothing_waiting;
    DWORD wanted = waiting < max ? static_cast<DWORD>(waiting) : static_cast<DWORD>(max);
    DWORD got = 0;
    if (ReadFile(port_handle, buffer, wanted, &got, &read_record)) return static_cast<int32_t>(got);
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        if (!device_gone(port_handle, error)) return read_failed;
        lost = 1;
        return read_port_lost;
    }
    int32_t count = finish_pending(port_handle, &read_record, read_wait_ms);
    if (count >= 0) return count;
    lost = 1;
    return read_port_lost;
}

// Called when a wait for input failed. A line error aborts the wait too
// (fAbortOnError): then the next idle wait arms it again. A driver that no
// longer answers has lost its device. Otherwise the driver cannot wait for
// input at all (Wine on a pseudo-terminal cancels every wait at once), and
// the event is dropped: idle waits poll instead.
HANDLE SerialPort::wait_failed() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_handle, &errors, &status)) lost = 1;
    if (lost || errors == 0) close_handle(wait_record.hEvent);
    return nullptr;
}

HANDLE SerialPort::input_event() {
    if (!is_open || lost || wait_record.hEvent == nullptr) return nullptr;
    if (wait_pending) {
        if (!HasOverlappedIoCompleted(&wait_record)) return wait_record.hEvent;
        wait_pending = 0;
        DWORD unused = 0;
        if (!GetOverlappedResult(port_handle, &wait_record, &unused, FALSE)) return wait_failed();
    }
    // Armed anew after each completion; a character that arrives from now on
    // signals the event, also while the caller still looks at the queue.
    if (WaitCommEvent(port_handle, &wait_mask, &wait_record)) {
        SetEvent(wait_record.hEvent);
        return wait_record.hEvent;
    }
    if (GetLastError() != ERROR_IO_PENDING) return wait_failed();
    wait_pending = 1;
    return wait_record.hEvent;
}
