/* A counting add-in for the tests. It keeps its count in its own memory and
 * puts "X-Count: <n> pid=<its process>" at the top of every message it is
 * given, so a test sees both whether its state lasts from call to call and
 * which process ran it. The parameter "hang" makes it never return, "crash"
 * makes it die. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static long count;

static void put(unsigned char* b, const char* s) {
    size_t n = strlen(s);
    if (n > 255) n = 255;
    b[0] = (unsigned char)n;
    memcpy(b + 1, s, n);
}

static void get(const unsigned char* b, char* out) {
    memcpy(out, b + 1, b[0]);
    out[b[0]] = 0;
}

void TWAddinName(unsigned char* b) { put(b, "Counter"); }
void TWAddinDesc(unsigned char* b) { put(b, "Counts the messages it sees"); }

unsigned char TWNewAddinAction(int32_t kind, unsigned char* f, unsigned char* p, unsigned char* u) {
    char file[256], params[256];
    (void)kind;
    (void)u;
    get(f, file);
    get(p, params);
    if (strcmp(params, "hang") == 0)
        for (;;) pause();
    if (strcmp(params, "crash") == 0) abort();
    ++count;
    FILE* in = fopen(file, "rb");
    if (!in) return 0;
    char* text = NULL;
    size_t size = 0;
    for (;;) {
        char* grown = realloc(text, size + 4096);
        if (!grown) break;
        text = grown;
        size_t n = fread(text + size, 1, 4096, in);
        size += n;
        if (n < 4096) break;
    }
    fclose(in);
    FILE* out = fopen(file, "wb");
    if (out) {
        fprintf(out, "X-Count: %ld pid=%ld\r\n", count, (long)getpid());
        if (text) fwrite(text, 1, size, out);
        fclose(out);
    }
    free(text);
    return out != NULL;
}
