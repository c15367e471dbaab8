// The logger's message-only window and stop requests.
#include <new>

#include "backend.h"
#include "tools_backend.h"
#include "tools_platform.h"

namespace ov {

namespace backend {

namespace {

constexpr char window_class_name[] = "OvMessageWindow";
constexpr UINT first_registered_message = 0xC000;
constexpr UINT last_registered_message = 0xFFFF;

// The registered messages that reached the window and were not yet taken,
// oldest first.  A message arriving while it is full is dropped.
struct message_queue {
    static constexpr unsigned capacity = 256;
    UINT ids[capacity];
    unsigned head = 0;
    unsigned count = 0;

    void push(UINT id) noexcept {
        if (count < capacity) ids[(head + count++) % capacity] = id;
    }
    bool pop(std::uint32_t* id) noexcept {
        if (count == 0) return false;
        *id = ids[head];
        head = (head + 1) % capacity;
        --count;
        return true;
    }
};

// The stop request: a manual-reset event that the console control handler
// sets, and that stop_process() in another process opens by name and sets.
// Null until install_stop_handler(): nothing runs at load.
HANDLE stop_event = nullptr;

// The queues live on the process heap, so that the library needs no C++
// allocator of its own.
message_queue* allocate_queue() noexcept {
    void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(message_queue));
    if (memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return new (memory) message_queue{};
}

void free_queue(message_queue* queue) noexcept {
    if (queue != nullptr) HeapFree(GetProcessHeap(), 0, queue);
}

message_queue* queue_of(HWND window) noexcept {
    return reinterpret_cast<message_queue*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// SendNotifyMessageA to a window of another thread queues a sent message,
// which never comes out of PeekMessage: the system calls the window
// procedure with it while the owner peeks.  Posted messages reach it
// through DispatchMessageA.  Both kinds are kept here.
LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message >= first_registered_message && message <= last_registered_message) {
        if (message_queue* queue = queue_of(window)) queue->push(message);
        return 0;
    }
    if (message == WM_NCDESTROY)
        free_queue(reinterpret_cast<message_queue*>(SetWindowLongPtrA(window, GWLP_USERDATA, 0)));
    return DefWindowProcA(window, message, wparam, lparam);
}

// The module holding window_procedure.  The class is registered under it,
// so that a program and a library that both hold this code each register
// their own class, whose procedure lives as long as the module that uses it
// (Windows does not unregister a library's classes when it is unloaded).
HINSTANCE own_module() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&window_procedure), &module);
    return module;
}

// Dispatches everything the thread's queue holds: sent messages go to their
// window procedures inside PeekMessageA, posted ones through
// DispatchMessageA.
void pump_messages() noexcept {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

bool is_stop_signalled() noexcept {
    return stop_event != nullptr && WaitForSingleObject(stop_event, 0) == WAIT_OBJECT_0;
}

// Ctrl+C, Ctrl+Break and the console's closing are stop requests.  The
// handler runs on a thread the system starts for it.
BOOL WINAPI on_console_event(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    SetEvent(stop_event);
    return TRUE;
}

}  // namespace

void stop_event_name(char (&name)[stop_event_name_capacity], DWORD process_id) noexcept {
    format_text(name, sizeof name, "OvStopRequest-%lu", static_cast<unsigned long>(process_id));
}

}  // namespace backend

// A message-only window (parent HWND_MESSAGE): it receives messages sent
// to its handle, needs no desktop, and is left out of broadcasts and
// window enumeration.
hwnd32 create_message_window() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = backend::window_procedure;
    window_class.hInstance = backend::own_module();
    window_class.lpszClassName = backend::window_class_name;
    if (!RegisterClassA(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return 0;
    backend::message_queue* queue = backend::allocate_queue();
    if (queue == nullptr) return 0;
    HWND window = CreateWindowExA(0, backend::window_class_name, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, nullptr);
    if (window == nullptr) {
        backend::free_queue(queue);
        return 0;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(queue));
    return backend::from_hwnd(window);
}

// Waits in MsgWaitForMultipleObjects, which wakes for any input to the
// thread's queue (QS_ALLINPUT) or the stop event, then dispatches what
// arrived.  A window is served only by the thread that created it.  A sent
// message reaches the window procedure without its sender: InSendMessageEx
// tells only how it was sent, and the sender's thread is no parameter.
int get_window_message(hwnd32 window, std::uint32_t timeout_ms, std::uint32_t* message, std::uint32_t* sender) {
    if (sender != nullptr) *sender = 0;
    HWND hwnd = backend::to_hwnd(window);
    backend::message_queue* queue = nullptr;
    if (GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId()) queue = backend::queue_of(hwnd);
    if (queue == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        backend::pump_messages();
        if (backend::is_stop_signalled()) return 0;
        if (queue->pop(message)) return 1;
        DWORD elapsed = GetTickCount() - start;
        if (timeout_ms != INFINITE && elapsed >= timeout_ms) return 0;
        DWORD wait_ms = timeout_ms == INFINITE ? INFINITE : timeout_ms - elapsed;
        DWORD count = backend::stop_event != nullptr ? 1 : 0;
        if (MsgWaitForMultipleObjects(count, &backend::stop_event, FALSE, wait_ms, QS_ALLINPUT) == WAIT_FAILED)
            return -1;
    }
}

// DestroyWindow; the window procedure frees the queue on WM_NCDESTROY.
void destroy_window(hwnd32 window) { DestroyWindow(backend::to_hwnd(window)); }

// SetConsoleCtrlHandler adds the handler to the process's list, after the
// event exists; the named event lets stop_process() reach this process
// without a shared console.
int install_stop_handler() {
    if (backend::stop_event == nullptr) {
        char name[backend::stop_event_name_capacity];
        backend::stop_event_name(name, GetCurrentProcessId());
        backend::stop_event = CreateEventA(nullptr, TRUE, FALSE, name);
        if (backend::stop_event == nullptr) return 0;
    }
    return SetConsoleCtrlHandler(backend::on_console_event, TRUE) ? 1 : 0;
}

int stop_requested() { return backend::is_stop_signalled() ? 1 : 0; }

}  // namespace ov
