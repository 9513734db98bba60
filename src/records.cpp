#include "records.h"

#include "check_window.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

// Wide text as UTF-8. Windows replaces a lone surrogate with U+FFFD.
std::string Utf8(const WCHAR *text, int length)
{
    if (length <= 0)
        return "";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, NULL, 0, NULL, NULL);
    if (size <= 0)
        return "";
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], size, NULL, NULL);
    return out;
}

// The length of the well-formed UTF-8 character at text[i], or 0.
static size_t CharacterLength(const std::string &text, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

std::string JsonString(const std::string &utf8)
{
    std::string out = "\"";
    for (size_t i = 0; i < utf8.size();)
    {
        const size_t length = CharacterLength(utf8, i);
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const unsigned char next = length > 1 ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        const unsigned char third = length > 2 ? static_cast<unsigned char>(utf8[i + 2]) : 0;
        char escaped[8];
        if (length == 0)
            out += "\\ufffd"; // not UTF-8: the replacement character, so every line parses
        else if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20 || c == 0x7F || (c == 0xC2 && next <= 0x9F))
        {
            // Control characters, the C1 ones too, as escapes: no record can act on a terminal.
            std::snprintf(escaped, sizeof escaped, "\\u%04x", length == 1 ? c : next);
            out += escaped;
        }
        else if (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9))
            out += third == 0xA8 ? "\\u2028" : "\\u2029"; // they end lines for some readers
        else
            out.append(utf8, i, length);
        i += length == 0 ? 1 : length;
    }
    return out + "\"";
}

std::string RecordTime()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear % 10000u, now.wMonth % 100u,
                  now.wDay % 100u, now.wHour % 100u, now.wMinute % 100u, now.wSecond % 100u,
                  now.wMilliseconds % 1000u);
    return text;
}

// A DNS host name is at most 255 characters.
static const DWORD HOST_NAME_BUFFER = 256;

const std::string &RecordHost()
{
    static std::string host;
    if (host.empty())
    {
        // Room for any host name, not only Windows' 15 characters: Linux names run longer.
        WCHAR name[HOST_NAME_BUFFER] = {};
        DWORD size = HOST_NAME_BUFFER;
        host = GetComputerNameW(name, &size) ? Utf8(name, static_cast<int>(size)) : "";
    }
    return host;
}

// The owner's executable, wide. The image name needs only the limited right, which elevated and
// protected processes grant a normal user where they refuse the rights the text report asks for
// (QueryFullProcessImageNameW: "PROCESS_QUERY_INFORMATION or PROCESS_QUERY_LIMITED_INFORMATION").
BOOL ReadOwnerPathUtf8(DWORD processId, std::string *path)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return FALSE;
    WCHAR text[TEXT_BUFFER_SIZE];
    DWORD size = TEXT_BUFFER_SIZE;
    const DWORD length = QueryFullProcessImageNameW(process, 0, text, &size) && size < TEXT_BUFFER_SIZE ? size : 0;
    *path = length > 0 ? Utf8(text, static_cast<int>(length)) : "";
    CloseHandle(process);
    return TRUE;
}

BOOL ReadCaptionUtf8(HWND hwnd, std::string *caption, std::string *program)
{
    WCHAR text[TEXT_BUFFER_SIZE] = {};
    SetLastError(0);
    const int length = GetWindowTextW(hwnd, text, TEXT_BUFFER_SIZE);
    *caption = Utf8(text, length > 0 && length < TEXT_BUFFER_SIZE ? length : 0);
    // A window whose title is not known has none to give: its program's name says which it is.
    char name[TEXT_BUFFER_SIZE];
    if (length != 0 || !ReadProgramName(hwnd, name))
        return FALSE;
    *program = name;
    return TRUE;
}

std::string WindowFields(HWND hwnd, DWORD processId, DWORD threadId)
{
    std::string caption, program;
    const BOOL untitled = ReadCaptionUtf8(hwnd, &caption, &program);
    std::string path;
    const BOOL opened = ReadOwnerPathUtf8(processId, &path);
    char numbers[96];
    // The handle's value, as 32- and 64-bit programs alike name the window.
    std::snprintf(numbers, sizeof numbers, "\"window\":%lu,", static_cast<unsigned long>(HandleToULong(hwnd)));
    std::string fields = "\"host\":" + JsonString(RecordHost()) + "," + numbers;
    if (untitled)
        fields += "\"caption\":null,\"program\":" + JsonString(program);
    else
        fields += "\"caption\":" + JsonString(caption);
    std::snprintf(numbers, sizeof numbers, ",\"pid\":%lu,\"tid\":%lu,", static_cast<unsigned long>(processId),
                  static_cast<unsigned long>(threadId));
    fields += numbers;
    fields += "\"path\":" + (opened && !path.empty() ? JsonString(path) : std::string("null"));
    fields += std::string(",\"error\":") + (opened ? "null" : "\"OpenProcess\"");
    return fields;
}

std::string VerdictFields(const ThreadVerdict &verdict)
{
    std::string fields = std::string("\"why\":\"") + VerdictWord(verdict.state) + "\",\"cpu\":";
    fields += verdict.cpuPercent >= 0 ? std::to_string(verdict.cpuPercent) : "null";
    std::string waitsFor;
    fields += ",\"waits_for\":";
    fields += verdict.waitsForProcess != 0 && ReadOwnerPathUtf8(verdict.waitsForProcess, &waitsFor) && !waitsFor.empty()
                  ? JsonString(waitsFor)
                  : "null";
    fields += ",\"wait\":" + (!verdict.wait.empty() ? JsonString(verdict.wait) : std::string("null"));
    // What could not be read, for a thread judged unknown.
    if (verdict.state == THREAD_UNKNOWN)
        fields += std::string(",\"failed\":") + JsonString(verdict.failed);
    return fields;
}

void WriteRecord(const char *event, const std::string &time, const std::string &fields)
{
    WriteOutput(std::string("{\"event\":\"") + event + "\",\"time\":\"" + time + "\"" + (fields.empty() ? "" : ",") +
                fields + "}\n");
    ReportWritable();
}

// Why the report stopped going out, as the write that failed was told.
static std::string outputFailure;

BOOL ReportWritable()
{
    if (std::cout)
        return TRUE;
    // The report goes out through the C runtime, which says why a write failed in errno, on
    // Windows as on Linux; later calls would overwrite it.
    if (outputFailure.empty())
        outputFailure = std::strerror(errno);
    return FALSE;
}

void WriteReportFailure()
{
    static BOOL written = FALSE;
    if (written)
        return;
    written = TRUE;
    if (outputFailure.empty())
    {
        // The write failed where nobody looked: what is still waiting to go out is tried once
        // more, to hear the reason first hand.
        std::cout.clear();
        errno = 0;
        std::cout.flush();
        outputFailure = errno != 0 ? std::strerror(errno) : "the system gave no reason";
    }
    std::cerr << "hungscan: cannot write the report: " << outputFailure << std::endl;
}
