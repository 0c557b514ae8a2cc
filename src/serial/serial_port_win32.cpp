// SerialPort on Windows: COMn opened for overlapped I/O. Every operation is
// issued and finished on the calling thread; no wait is unbounded except the
// completion of an operation that has just been cancelled.
#include <bit>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

// The driver's own time-outs: a read that finds nothing gives up after
// read_timeout_ms, a write after write_timeout_ms.
constexpr DWORD read_timeout_ms = 20000;
constexpr DWORD write_timeout_ms = 5000;
// How long a read of bytes the driver has queued may take.
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

// The DCB seen as plain words, to check at compile time that the settings
// above touch only the flags they name: fBinary, fTXContinueOnXoff,
// fRtsControl's low bit and fAbortOnError end up set, every other named flag
// clear, and the 17 reserved bits above them (fDummy2) keep what
// GetCommState read, so that no driver-private bit is changed behind its back.
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

// 1 when name is COM and a number, in any case ("COM12", "com7").
int is_com_name(const char* name) {
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
    const char* digit = name + 3;
    if (*digit == '\0') return 0;
    for (; *digit != '\0'; ++digit)
        if (*digit < '0' || *digit > '9') return 0;
    return 1;
}

// The name CreateFileA opens for COMn, into name (size bytes): "COMn" when
// neither --port nor KELO_COMn gives one (the option wins), or it is empty
// once the blanks around it are dropped; else that value, a bare COMk put
// into the device namespace ("\\.\COMk": COM10 and above open only that
// way). 0 when the value (at most size - 5 characters with its blanks) does
// not fit: no other device is opened in its place, and name holds the
// option's or the variable's name.
int device_name(int32_t port_number, char* name, DWORD size) {
    char variable[16];
    wsprintfA(variable, "KELO_COM%d", static_cast<int>(port_number));
    constexpr char device_namespace[] = "\\\\.\\";
    constexpr DWORD namespace_length = sizeof device_namespace - 1;
    // Read behind room for the namespace, which a bare COMk gets in front.
    char* value = name + namespace_length;
    DWORD room = size - namespace_length;
    DWORD length = port_option ? static_cast<DWORD>(std::strlen(port_option))
                               : GetEnvironmentVariableA(variable, value, room);
    if (length >= room) {
        lstrcpynA(name, port_option ? "--port" : variable, static_cast<int>(size));
        return 0;
    }
    if (port_option) std::memcpy(value, port_option, length + 1);
    if (length == 0 || copy_trimmed(value, value, static_cast<int32_t>(room)) == 0) {
        wsprintfA(name, "COM%d", static_cast<int>(port_number));
        return 1;
    }
    if (is_com_name(value))
        std::memcpy(name, device_namespace, namespace_length);
    else
        std::memmove(name, value, std::strlen(value) + 1);
    return 1;
}

// Tells on standard error why name could not be opened as the port (error:
// GetLastError of the step that failed), before the caller's "Cannot open
// COMn.": "kelo: NAME: REASON", the reason in the system's words. Result 0,
// the open's failure.
int open_failed(const char* name, DWORD error) {
    char reason[256];
    system_reason(error, reason, sizeof reason);
    std::fprintf(stderr, "kelo: %s: %s\n", name, reason);
    return 0;
}

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

// Reads wanted bytes, which the driver has queued, into buffer: the count
// read, receive_failed, or receive_lost when the device has gone away.
int32_t read_queued(HANDLE port, OVERLAPPED* record, char* buffer, DWORD wanted) {
    DWORD got = 0;
    if (ReadFile(port, buffer, wanted, &got, record)) return static_cast<int32_t>(got);
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return device_gone(port, error) ? receive_lost : receive_failed;
    int32_t count = finish_pending(port, record, read_wait_ms);
    return count >= 0 ? count : receive_lost;
}

// Bytes still to go out of the driver's output queue, or -1 when the driver
// no longer answers.
int32_t queued_output(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) return -1;
    return static_cast<int32_t>(status.cbOutQue);
}

} // namespace

int SerialPort::open(int32_t port_number, uint32_t baud) {
    if (is_open) return 1;
    char name[MAX_PATH];
    if (!device_name(port_number, name, sizeof name))
        return open_failed(name, ERROR_FILENAME_EXCED_RANGE);
    port_handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port_handle == INVALID_HANDLE_VALUE) {
        port_handle = nullptr;
        return open_failed(name, GetLastError());
    }
    read_record = OVERLAPPED{};
    write_record = OVERLAPPED{};
    wait_record = OVERLAPPED{};
    wait_pending = 0;
    // A read waits for no more than is asked.
    COMMTIMEOUTS timeouts{MAXDWORD, 1, read_timeout_ms, 0, write_timeout_ms};
    SetCommTimeouts(port_handle, &timeouts);
    read_record.hEvent = new_event();
    write_record.hEvent = new_event();
    if (configure_port(port_handle, baud) && read_record.hEvent && write_record.hEvent) {
        // Only for idle waits: without it they fall back to short sleeps.
        wait_record.hEvent = new_event();
        wait_usable = wait_record.hEvent != nullptr;
        is_open = 1;
        lstrcpynA(opened_on, name, sizeof opened_on);
        lost = 0;
        return 1;
    }
    DWORD error = GetLastError();
    close_handle(read_record.hEvent);
    close_handle(write_record.hEvent);
    close_handle(port_handle);
    return open_failed(name, error);
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
    forget_input();
    return 1;
}

int32_t SerialPort::write_bytes(const char* data, int32_t count) {
    // A closed port has no handle worth writing to (after a failed open the
    // old value would name a handle already closed, perhaps reused).
    if (!is_open || port_handle == nullptr || count <= 0) return 0;
    int32_t done = 0;
    while (done < count && !lost) {
        DWORD wanted = static_cast<DWORD>(count - done);
        DWORD written = 0;
        if (!WriteFile(port_handle, data + done, wanted, &written, &write_record)) {
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                if (device_gone(port_handle, error)) lost = 1;
                break; // refused: the rest is lost
            }
            // The caller's data must outlive the write: it is finished or
            // cancelled before this returns.
            int32_t queued = queued_output(port_handle);
            while (WaitForSingleObject(write_record.hEvent, write_stall_ms) != WAIT_OBJECT_0) {
                int32_t now = queued_output(port_handle);
                if (now < 0 || now >= queued) {
                    CancelIoEx(port_handle, &write_record);
                    break;
                }
                queued = now; // the line took some: wait on
            }
            if (!GetOverlappedResult(port_handle, &write_record, &written, TRUE) &&
                device_gone(port_handle, GetLastError()))
                lost = 1;
        }
        // Nothing taken: the line stood still for write_stall_ms (or the
        // driver's own time-out), and the rest is dropped.
        if (written == 0) break;
        done += static_cast<int32_t>(written);
    }
    return count;
}

int32_t SerialPort::driver_queue() {
    if (port_handle == nullptr || lost) return 0;
    if (wait_pending && HasOverlappedIoCompleted(&wait_record)) finish_wait_read();
    int32_t waiting = queued_input(port_handle);
    if (waiting >= 0) return waiting;
    lost = 1;
    return 0;
}

// Collects the one-byte read of an idle wait, which has completed or been
// cancelled: its byte joins the read-ahead buffer. It fails when it timed
// out or a line error aborted it; then only a device gone matters.
void SerialPort::finish_wait_read() {
    DWORD got = 0;
    BOOL done = GetOverlappedResult(port_handle, &wait_record, &got, TRUE);
    wait_pending = 0;
    if (done && got == 1 && input_end < input_buffer_bytes) input[input_end++] = wait_byte;
    if (!done && device_gone(port_handle, GetLastError())) lost = 1;
}

int32_t SerialPort::fill_input() {
    forget_input();
    if (port_handle == nullptr || lost) return receive_lost;
    if (wait_pending && !HasOverlappedIoCompleted(&wait_record)) {
        // Nothing has come yet, unless the driver queued bytes beside the
        // read (or no longer answers): then the read is cancelled, so that
        // collecting it cannot wait, and the queue is read behind its byte.
        if (queued_input(port_handle) == 0) return 0;
        CancelIoEx(port_handle, &wait_record);
    }
    if (wait_pending) finish_wait_read();
    int32_t waiting = lost ? -1 : queued_input(port_handle);
    int32_t got = 0;
    if (waiting < 0) {
        lost = 1;
        got = receive_lost;
    } else if (waiting > 0) {
        int32_t room = input_buffer_bytes - input_end;
        got = read_queued(port_handle, &read_record, input + input_end,
                          static_cast<DWORD>(waiting < room ? waiting : room));
        if (got == receive_lost) lost = 1;
    }
    if (got > 0) input_end += got;
    // What came before a loss or a failure is still served first.
    return input_end > 0 ? input_end : got;
}

HANDLE SerialPort::input_event() {
    if (!is_open || lost || !wait_usable) return nullptr;
    if (wait_pending) {
        if (!HasOverlappedIoCompleted(&wait_record)) return wait_record.hEvent;
        finish_wait_read();
    }
    if (lost || input_next < input_end) return nullptr;
    // Armed anew after each completion: the first byte to arrive completes
    // it and signals the event. The read-ahead buffer is empty here, so the
    // byte is the oldest one.
    forget_input();
    DWORD got = 0;
    if (ReadFile(port_handle, &wait_byte, 1, &got, &wait_record)) {
        if (got == 1) input[input_end++] = wait_byte;
        // A driver that answers at once with nothing cannot wait for input.
        else
            wait_usable = 0;
        return nullptr;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        wait_pending = 1;
        return wait_record.hEvent;
    }
    if (device_gone(port_handle, error))
        lost = 1;
    else
        wait_usable = 0;
    return nullptr;
}
