/* Library anchor of the codec benchmark: xmlrpc-c's C API parses each fixture
 * (xmlrpc_parse_call) and serializes it again (xmlrpc_serialize_call), for
 * about SECONDS each. Its own executable: xmlrpc-c brings its own expat.
 *   xmlrpcc_codec SECONDS FILE...
 * Prints "RESULT xmlrpcc file=NAME roundtrip=N" (messages per second). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <xmlrpc-c/base.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static char *slurp(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (!f) { perror(path); exit(2); }
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char *text = malloc((size_t)n + 1);
    if (fread(text, 1, (size_t)n, f) != (size_t)n) { perror(path); exit(2); }
    fclose(f);
    text[n] = 0;
    *size = (size_t)n;
    return text;
}

int main(int argc, char **argv) {
    if (argc < 3) { fprintf(stderr, "usage: xmlrpcc_codec SECONDS FILE...\n"); return 2; }
    double seconds = atof(argv[1]);
    xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, 10 * 1024 * 1024);
    for (int i = 2; i < argc; i++) {
        size_t size;
        char *text = slurp(argv[i], &size);
        long count = 0;
        double start = now(), t = start;
        while (t - start < seconds) {
            for (int k = 0; k < 64; k++) {
                xmlrpc_env env;
                xmlrpc_env_init(&env);
                const char *name = NULL;
                xmlrpc_value *params = NULL;
                xmlrpc_parse_call(&env, text, size, &name, &params);
                if (env.fault_occurred) { fprintf(stderr, "%s: %s\n", argv[i], env.fault_string); return 2; }
                xmlrpc_mem_block *out = XMLRPC_MEMBLOCK_NEW(char, &env, 0);
                xmlrpc_serialize_call(&env, out, name, params);
                if (env.fault_occurred) { fprintf(stderr, "%s: %s\n", argv[i], env.fault_string); return 2; }
                XMLRPC_MEMBLOCK_FREE(char, out);
                xmlrpc_DECREF(params);
                free((void *)name);
                xmlrpc_env_clean(&env);
            }
            count += 64;
            t = now();
        }
        const char *base = strrchr(argv[i], '/');
        printf("RESULT xmlrpcc file=%s roundtrip=%.0f\n", base ? base + 1 : argv[i], count / (t - start));
        free(text);
    }
    return 0;
}
