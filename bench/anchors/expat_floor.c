/* Floor of the codec benchmark: expat tokenises each fixture with no-op
 * element and character handlers, for about SECONDS each.
 *   expat_floor SECONDS FILE...
 * Prints "RESULT expat file=NAME parse=N" (messages per second). */
#include <expat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void XMLCALL on_start(void *u, const XML_Char *n, const XML_Char **a) { (void)u; (void)n; (void)a; }
static void XMLCALL on_end(void *u, const XML_Char *n) { (void)u; (void)n; }
static void XMLCALL on_text(void *u, const XML_Char *s, int len) { (void)u; (void)s; (void)len; }

int main(int argc, char **argv) {
    if (argc < 3) { fprintf(stderr, "usage: expat_floor SECONDS FILE...\n"); return 2; }
    double seconds = atof(argv[1]);
    XML_Parser p = XML_ParserCreate(NULL);
    for (int i = 2; i < argc; i++) {
        FILE *f = fopen(argv[i], "rb");
        if (!f) { perror(argv[i]); return 2; }
        static char text[1 << 20];
        size_t size = fread(text, 1, sizeof text, f);
        fclose(f);
        long count = 0;
        double start = now(), t = start;
        while (t - start < seconds) {
            for (int k = 0; k < 64; k++) {
                XML_ParserReset(p, NULL);
                XML_SetElementHandler(p, on_start, on_end);
                XML_SetCharacterDataHandler(p, on_text);
                if (XML_Parse(p, text, (int)size, 1) != XML_STATUS_OK) {
                    fprintf(stderr, "%s: %s\n", argv[i], XML_ErrorString(XML_GetErrorCode(p)));
                    return 2;
                }
            }
            count += 64;
            t = now();
        }
        const char *base = strrchr(argv[i], '/');
        printf("RESULT expat file=%s parse=%.0f\n", base ? base + 1 : argv[i], count / (t - start));
    }
    XML_ParserFree(p);
    return 0;
}
