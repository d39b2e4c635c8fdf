/* A program for the child-process and gateway tests.  It reports how it
 * was started, as a text/plain reply: its arguments, current folder, open
 * descriptors, SIGPIPE disposition, signal mask, process group, ambient
 * capabilities, standard input and environment.
 *
 * The reply goes to standard output, or, when argv[3] ends in ".qvx", to
 * that file (a Windows CGI program: profile, content file, output file).  QUERY_STRING steers
 * it: "sleep=<ms>" sleeps first, "fail=1" exits with status 3 after the
 * reply. */
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

/* The number after "<key>=" in QUERY_STRING, -1 when absent. */
static long queryNumber(const char *key) {
    const char *query = getenv("QUERY_STRING");
    size_t keyLength = strlen(key);
    for (const char *at = query; at && *at;) {
        if (strncmp(at, key, keyLength) == 0 && at[keyLength] == '=') return atol(at + keyLength + 1);
        at = strchr(at, '&');
        if (at) ++at;
    }
    return -1;
}

/* Open descriptors, ascending, without the one reading the folder. */
static void listDescriptors(char *out, size_t size) {
    int fds[1024], count = 0;
    DIR *dir = opendir("/proc/self/fd");
    out[0] = '\0';
    if (!dir) return;
    for (struct dirent *entry; (entry = readdir(dir)) != NULL && count < 1024;)
        if (entry->d_name[0] != '.' && atoi(entry->d_name) != dirfd(dir)) fds[count++] = atoi(entry->d_name);
    closedir(dir);
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && fds[j - 1] > fds[j]; --j) {
            int t = fds[j];
            fds[j] = fds[j - 1];
            fds[j - 1] = t;
        }
    for (int i = 0; i < count; ++i) {
        size_t used = strlen(out);
        snprintf(out + used, size - used, "%s%d", i ? "," : "", fds[i]);
    }
}

static const char *sigpipeState(void) {
    struct sigaction action;
    sigaction(SIGPIPE, NULL, &action);
    if (action.sa_handler == SIG_DFL) return "default";
    return action.sa_handler == SIG_IGN ? "ignored" : "handled";
}

static const char *maskState(void) {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, NULL, &mask);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&mask, sig) == 1) return "blocked";
    return "empty";
}

static void ambientCapabilities(char *out, size_t size) {
    char line[256];
    FILE *status = fopen("/proc/self/status", "r");
    snprintf(out, size, "?");
    while (status && fgets(line, sizeof line, status))
        if (strncmp(line, "CapAmb:", 7) == 0) sscanf(line + 7, "%63s", out);
    if (status) fclose(status);
}

static int byText(const void *a, const void *b) { return strcmp(*(char *const *)a, *(char *const *)b); }

static void reportEnvironment(FILE *out) {
    size_t count = 0;
    while (environ[count]) ++count;
    char **sorted = malloc((count + 1) * sizeof *sorted);
    if (!sorted) return;
    memcpy(sorted, environ, count * sizeof *sorted);
    qsort(sorted, count, sizeof *sorted, byText);
    for (size_t i = 0; i < count; ++i) fprintf(out, "env:%s\r\n", sorted[i]);
    free(sorted);
}

int main(int argc, char **argv) {
    long sleepMs = queryNumber("sleep");
    if (sleepMs > 0) {
        struct timespec pause = {sleepMs / 1000, (sleepMs % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0) {
        }
    }
    static char fds[8192], cwd[4096], capamb[64], input[65536];
    listDescriptors(fds, sizeof fds);
    ambientCapabilities(capamb, sizeof capamb);
    if (!getcwd(cwd, sizeof cwd)) snprintf(cwd, sizeof cwd, "?");
    size_t inputLength = 0;
    for (ssize_t n; inputLength < sizeof input && (n = read(0, input + inputLength, sizeof input - inputLength)) > 0;)
        inputLength += (size_t)n;

    size_t nameLength = argc >= 4 ? strlen(argv[3]) : 0;
    int toFile = nameLength >= 4 && strcmp(argv[3] + nameLength - 4, ".qvx") == 0;
    FILE *out = toFile ? fopen(argv[3], "wb") : stdout;
    if (!out) return 2;
    fprintf(out, "Content-type: text/plain\r\n\r\nargc=%d\r\n", argc);
    for (int i = 0; i < argc; ++i) fprintf(out, "argv[%d]=%s\r\n", i, argv[i]);
    fprintf(out, "cwd=%s\r\nfds=%s\r\nsigpipe=%s\r\nsigmask=%s\r\npgid_is_pid=%d\r\ncapamb=%s\r\nstdin=", cwd, fds,
            sigpipeState(), maskState(), getpgrp() == getpid(), capamb);
    fwrite(input, 1, inputLength, out);
    fprintf(out, "\r\n");
    reportEnvironment(out);
    if (fclose(out) != 0) return 2;
    return queryNumber("fail") == 1 ? 3 : 0;
}
