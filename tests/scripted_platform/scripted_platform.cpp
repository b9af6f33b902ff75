#include "tests/scripted_platform/scripted_platform.h"

#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

namespace scripted {

const HANDLE kInput = (HANDLE)(intptr_t)0x10;
const HANDLE kOutput = (HANDLE)(intptr_t)0x11;
const HANDLE kError = (HANDLE)(intptr_t)0x12;

static Script script;
static std::vector<Record> calls;
static DWORD lastError;
static jmp_buf exitJump;
static DWORD exitCode;

void Reset(const Script &next)
{
    script = next;
    calls.clear();
    lastError = 0;
    exitCode = 0;
}

DWORD RunEntry(void (*entry)(void))
{
    // An entry holds nothing that needs unwinding: leaving its frame by
    // longjmp from ExitProcess is as final as the real process exit.
    if (setjmp(exitJump) == 0)
        entry();
    return exitCode;
}

const std::vector<Record> &Calls()
{
    return calls;
}

std::vector<Record> CallsOf(Call call)
{
    std::vector<Record> found;
    for (const Record &r : calls)
        if (r.call == call)
            found.push_back(r);
    return found;
}

std::string WrittenTo(HANDLE handle)
{
    std::string joined;
    for (const Record &r : calls)
        if (r.call == Call::WriteFile && r.handle == handle)
            joined += r.data.substr(0, r.taken);
    return joined;
}

std::vector<HANDLE> ClosedHandles()
{
    std::vector<HANDLE> closed;
    for (const Record &r : CallsOf(Call::CloseHandle))
        closed.push_back(r.handle);
    return closed;
}

static void RecordCall(Call call, HANDLE handle, DWORD value, std::string data = std::string(),
                       DWORD taken = 0, bool overlapped = false)
{
    calls.push_back(Record{call, handle, value, std::move(data), taken, overlapped});
}

void RecordExit(DWORD code)
{
    RecordCall(Call::ExitProcess, nullptr, code);
    exitCode = code;
}

}  // namespace scripted

using namespace scripted;

extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    HANDLE result = INVALID_HANDLE_VALUE;
    auto step = script.stdHandles.find(nStdHandle);
    if (step != script.stdHandles.end()) {
        result = step->second.result;
        if (result == INVALID_HANDLE_VALUE)
            lastError = step->second.error;
    } else if (nStdHandle == STD_INPUT_HANDLE) {
        result = kInput;
    } else if (nStdHandle == STD_OUTPUT_HANDLE) {
        result = kOutput;
    } else if (nStdHandle == STD_ERROR_HANDLE) {
        result = kError;
    } else {
        lastError = ERROR_INVALID_PARAMETER;
    }
    RecordCall(Call::GetStdHandle, result, nStdHandle);
    return result;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    RecordCall(Call::ReadFile, hFile, nNumberOfBytesToRead, std::string(), 0, lpOverlapped != nullptr);
    ReadStep step;
    if (!script.reads.empty()) {
        step = script.reads.front();
        script.reads.pop_front();
    }
    *lpNumberOfBytesRead = (DWORD)step.data.size();
    if (step.error) {
        lastError = *step.error;
        return FALSE;
    }
    // A real read never delivers more than asked: a longer step is cut (a
    // filter that asks for less then shows it in the count it asked and in
    // its lines, as a mutant of the image does).
    if (step.data.size() > nNumberOfBytesToRead)
        *lpNumberOfBytesRead = nNumberOfBytesToRead;
    memcpy(lpBuffer, step.data.data(), *lpNumberOfBytesRead);
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    WriteStep step;
    auto queue = script.writes.find(hFile);
    if (queue != script.writes.end() && !queue->second.empty()) {
        step = queue->second.front();
        queue->second.pop_front();
    }
    DWORD taken = step.taken < nNumberOfBytesToWrite ? step.taken : nNumberOfBytesToWrite;
    RecordCall(Call::WriteFile, hFile, nNumberOfBytesToWrite,
               std::string((const char *)lpBuffer, nNumberOfBytesToWrite), taken, lpOverlapped != nullptr);
    *lpNumberOfBytesWritten = taken;
    if (step.error) {
        lastError = *step.error;
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    RecordCall(Call::CloseHandle, hObject, 0);
    auto step = script.closes.find(hObject);
    if (step != script.closes.end() && step->second.error) {
        lastError = *step->second.error;
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI GetLastError(void)
{
    RecordCall(Call::GetLastError, nullptr, lastError);
    return lastError;
}

extern "C" void WINAPI ExitProcess(DWORD uExitCode)
{
    RecordExit(uExitCode);
    longjmp(exitJump, 1);
}
