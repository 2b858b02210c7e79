/* com_sessions: a Win32 console program for the Wine test (scripts/wine-test.sh) that
 * opens and closes a COM port as Windows serial software does between jobs: every
 * CreateFile/CloseHandle pair is a session of its own on the device.
 *
 *   com_sessions.exe COM5 cycles [N]   N (20) cycles without a pause: CreateFile, write 16
 *                                      bytes of its own, read their echo, CloseHandle; one
 *                                      line per cycle with the time from CreateFile to the
 *                                      echo's last byte. Exit status 0 when every cycle
 *                                      read exactly its own echo.
 *   com_sessions.exe COM5 busy         a second CreateFile while the port is open: prints
 *                                      its error, then checks that the first handle still
 *                                      echoes. Exit status 0 when the second open failed
 *                                      and the first still echoes, 3 when the second
 *                                      succeeded.
 *   com_sessions.exe COM5 settings     SetCommState 9600 8N1, the same again, 9600 7E1, the
 *                                      same again, 115200 8N1, each followed by a write
 *                                      whose echo is read, so that the device's log shows
 *                                      which SREQ each call gave. Exit status 0 when every
 *                                      call and echo worked. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { TEXT_SIZE = 16, ECHO_LIMIT_MS = 2000 };

static double frequency;

static double nowMs(void) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / frequency;
}

static HANDLE openPort(const char* name) {
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

/* Reads return as soon as what was asked for is there; nothing waits longer than the
 * total time-out, so a lost echo cannot hang the program. */
static BOOL setTimeouts(HANDLE port) {
    COMMTIMEOUTS timeouts = {0};
    timeouts.ReadTotalTimeoutConstant = 500;
    timeouts.WriteTotalTimeoutConstant = 1000;
    return SetCommTimeouts(port, &timeouts);
}

/* Up to wanted bytes within ECHO_LIMIT_MS; the count read. */
static DWORD readEcho(HANDLE port, char* buffer, DWORD wanted) {
    DWORD total = 0;
    double end = nowMs() + ECHO_LIMIT_MS;
    while (total < wanted && nowMs() < end) {
        DWORD got = 0;
        if (!ReadFile(port, buffer + total, wanted - total, &got, NULL))
            break;
        total += got;
    }
    return total;
}

/* Writes text and reads its echo; 1 when exactly the text came back and nothing else
 * waits behind it. */
static int echoes(HANDLE port, const char* text, DWORD length, char* echo, DWORD* got) {
    DWORD written = 0;
    *got = 0;
    if (!WriteFile(port, text, length, &written, NULL) || written != length)
        return 0;
    *got = readEcho(port, echo, length);
    echo[*got] = 0;
    DWORD errors = 0;
    COMSTAT status = {0};
    BOOL known = ClearCommError(port, &errors, &status);
    return *got == length && memcmp(echo, text, length) == 0 && known && status.cbInQue == 0;
}

static int cycles(const char* name, int count) {
    /* Distinct per cycle and per run: an echo of another cycle or of an earlier run
     * shows as such. */
    unsigned long run =
        (unsigned long)GetTickCount() ^ ((unsigned long)GetCurrentProcessId() << 16);
    int own = 0;
    double worst = 0;
    for (int cycle = 1; cycle <= count; ++cycle) {
        char text[TEXT_SIZE + 1];
        char echo[TEXT_SIZE + 1];
        snprintf(text, sizeof text, "cycle%02d-%08lx", cycle, run & 0xFFFFFFFFul);
        double start = nowMs();
        HANDLE port = openPort(name);
        if (port == INVALID_HANDLE_VALUE) {
            printf("cycle %02d FAIL CreateFile (error %lu)\n", cycle,
                   (unsigned long)GetLastError());
            continue;
        }
        DWORD got = 0;
        int ok = setTimeouts(port) && echoes(port, text, TEXT_SIZE, echo, &got);
        double took = nowMs() - start;
        if (!CloseHandle(port))
            ok = 0;
        if (took > worst)
            worst = took;
        own += ok;
        if (ok)
            printf("cycle %02d %7.2f ms own echo '%s'\n", cycle, took, echo);
        else
            printf("cycle %02d %7.2f ms FAIL echo: %lu bytes '%s' for '%s' (error %lu)\n", cycle,
                   took, (unsigned long)got, echo, text, (unsigned long)GetLastError());
    }
    printf("%d of %d cycles read their own echo; slowest %.2f ms\n", own, count, worst);
    return own == count ? 0 : 1;
}

static int busy(const char* name) {
    HANDLE first = openPort(name);
    if (first == INVALID_HANDLE_VALUE || !setTimeouts(first)) {
        printf("FAIL first CreateFile (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    printf("OK first CreateFile\n");
    double start = nowMs();
    HANDLE second = openPort(name);
    DWORD error = GetLastError();
    double took = nowMs() - start;
    int status = 0;
    if (second == INVALID_HANDLE_VALUE) {
        printf("OK second CreateFile failed with error %lu after %.1f ms\n", (unsigned long)error,
               took);
    } else {
        status = 3;
        printf("INFO second CreateFile succeeded after %.1f ms\n", took);
        DWORD written = 0;
        char echo[TEXT_SIZE + 1];
        BOOL wrote =
            setTimeouts(second) && WriteFile(second, "second opener!!!", TEXT_SIZE, &written, NULL);
        printf("INFO second handle: WriteFile %s (error %lu), ", wrote ? "ok" : "failed",
               (unsigned long)(wrote ? 0 : GetLastError()));
        DWORD got = readEcho(second, echo, TEXT_SIZE);
        echo[got] = 0;
        printf("read %lu bytes '%s'\n", (unsigned long)got, echo);
    }
    char echo[TEXT_SIZE + 1];
    DWORD got = 0;
    if (!echoes(first, "first still here", TEXT_SIZE, echo, &got)) {
        printf("FAIL first handle's echo after the second open: %lu bytes '%s'\n",
               (unsigned long)got, echo);
        status = 1;
    } else {
        printf("OK first handle still echoes\n");
    }
    if (second != INVALID_HANDLE_VALUE)
        CloseHandle(second);
    CloseHandle(first);
    return status;
}

struct Line {
    DWORD rate;
    BYTE size, parity;
    const char* name;
    const char* marker; /* written after the call (padded to 16 bytes), so that the device
                         * log shows which frames the call gave */
};

static int setLine(HANDLE port, const struct Line* line) {
    DCB dcb = {0};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return 0;
    dcb.BaudRate = line->rate;
    dcb.ByteSize = line->size;
    dcb.Parity = line->parity;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = line->parity != NOPARITY;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb))
        return 0;
    DCB back = {0};
    back.DCBlength = sizeof back;
    if (GetCommState(port, &back))
        printf("INFO %s read back as %lu %u%c%s\n", line->name, (unsigned long)back.BaudRate,
               back.ByteSize, "NOEMS"[back.Parity < 5 ? back.Parity : 0],
               back.StopBits == ONESTOPBIT ? "1" : "2");
    return 1;
}

/* Each call is followed by a marker, whatever it answered: a call that failed must not
 * hide what the next one gives. */
static int settings(const char* name) {
    static const struct Line steps[] = {
        {9600, 8, NOPARITY, "SetCommState 9600 8N1", "after 9600 8N1"},
        {9600, 8, NOPARITY, "SetCommState 9600 8N1 again", "after the same"},
        {9600, 7, EVENPARITY, "SetCommState 9600 7E1", "after 9600 7E1"},
        {9600, 7, EVENPARITY, "SetCommState 9600 7E1 again", "after the same"},
        {115200, 8, NOPARITY, "SetCommState 115200 8N1", "after 115200 8N1"},
    };
    HANDLE port = openPort(name);
    if (port == INVALID_HANDLE_VALUE || !setTimeouts(port)) {
        printf("FAIL CreateFile (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    int status = 0;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        char marker[TEXT_SIZE + 1];
        char echo[TEXT_SIZE + 1];
        DWORD got = 0;
        snprintf(marker, sizeof marker, "%-16s", steps[i].marker);
        if (setLine(port, &steps[i])) {
            printf("OK %s\n", steps[i].name);
        } else {
            printf("FAIL %s (error %lu)\n", steps[i].name, (unsigned long)GetLastError());
            status = 1;
        }
        if (!echoes(port, marker, TEXT_SIZE, echo, &got)) {
            printf("FAIL echo after %s: %lu bytes '%s'\n", steps[i].name, (unsigned long)got, echo);
            status = 1;
        }
    }
    CloseHandle(port);
    return status;
}

int main(int argc, char** argv) {
    LARGE_INTEGER counts;
    QueryPerformanceFrequency(&counts);
    frequency = (double)counts.QuadPart;
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc >= 3 && strcmp(argv[2], "cycles") == 0)
        return cycles(argv[1], argc > 3 ? atoi(argv[3]) : 20);
    if (argc == 3 && strcmp(argv[2], "busy") == 0)
        return busy(argv[1]);
    if (argc == 3 && strcmp(argv[2], "settings") == 0)
        return settings(argv[1]);
    printf("usage: com_sessions COMn cycles [N] | busy | settings\n");
    return 2;
}
