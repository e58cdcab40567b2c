// The variables a payload packed with --env sets for its program. They go
// into a copy of the environment made for execve: the launcher's own
// environment, and so its own behaviour and messages, never change, and
// ${NAME} always reads the caller's value.
#include <stdlib.h>
#include <string.h>

#include "launcher.h"

extern char **environ;

static size_t name_length(const char *record)
{
    const char *equals = strchr(record, '=');
    return equals == NULL ? strlen(record) : (size_t)(equals - record);
}

static int is_name_char(char c)
{
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The caller's value of the name of length bytes at name; empty when unset.
static const char *caller_value(const char *name, size_t length)
{
    for (char **e = environ; *e != NULL; e++)
        if (strncmp(*e, name, length) == 0 && (*e)[length] == '=')
            return *e + length + 1;
    return "";
}

// What a '$' at text stands for: sets *replacement (null: the '$' itself)
// and returns the bytes of text it takes.
static size_t expand_dollar(const char *text, const char *origin, const char **replacement)
{
    *replacement = NULL;
    if (text[1] == '$') {
        *replacement = "$";
        return 2;
    }
    if (strncmp(text, "$ORIGIN", 7) == 0 && !is_name_char(text[7])) {
        *replacement = origin;
        return 7;
    }
    if (text[1] == '{') {
        size_t length = 0;
        while (is_name_char(text[2 + length]))
            length++;
        if (length > 0 && text[2 + length] == '}') {
            if (length == 6 && strncmp(text + 2, "ORIGIN", 6) == 0)
                *replacement = origin;
            else
                *replacement = caller_value(text + 2, length);
            return length + 3;
        }
    }
    return 1;
}

// The record with its value expanded into out, when out is not null;
// returns its length either way, so that a first call can measure.
static size_t expand_into(const char *record, const char *origin, char *out)
{
    size_t at = 0;
    const char *value = record + name_length(record);
    for (const char *p = record; *p != '\0';) {
        const char *replacement = NULL;
        size_t taken = 1;
        if (*p == '$' && p >= value)
            taken = expand_dollar(p, origin, &replacement);
        size_t add = replacement != NULL ? strlen(replacement) : 1;
        if (out != NULL)
            memcpy(out + at, replacement != NULL ? replacement : p, add);
        at += add;
        p += taken;
    }
    if (out != NULL)
        out[at] = '\0';
    return at;
}

static char *expand_record(const char *record, const char *origin)
{
    char *out = (char *)malloc(expand_into(record, origin, NULL) + 1);
    if (out == NULL)
        die("no enough memory");
    expand_into(record, origin, out);
    return out;
}

// Whether a later record sets the same name: the last one wins.
static int set_again_later(const char *record, const char *later, uint32_t left)
{
    size_t length = name_length(record);
    for (uint32_t i = 0; i < left; i++, later += strlen(later) + 1)
        if (name_length(later) == length && strncmp(later, record, length) == 0)
            return 1;
    return 0;
}

static int is_set_by(const char *variable, char *const *set, size_t count)
{
    size_t length = name_length(variable);
    for (size_t i = 0; i < count; i++)
        if (name_length(set[i]) == length && strncmp(set[i], variable, length) == 0)
            return 1;
    return 0;
}

char **program_environment(void)
{
    static char **made = NULL;
    const PayloadEnvironment *records = &payload_environment;
    if (records == NULL)
        return environ;
    if (made != NULL)
        return made;

    size_t inherited = 0;
    while (environ[inherited] != NULL)
        inherited++;
    made = (char **)malloc((inherited + records->count + 1) * sizeof(char *));
    if (made == NULL)
        die("no enough memory");
    const char *origin = absolute_work_dir_path();
    size_t count = 0;
    const char *record = records->records;
    for (uint32_t i = 0; i < records->count; i++) {
        const char *next = record + strlen(record) + 1;
        if (!set_again_later(record, next, records->count - i - 1)) {
            made[count] = expand_record(record, origin);
            if (trace_enabled)
                printf("env: %s\n", made[count]);
            count++;
        }
        record = next;
    }
    size_t set = count;
    for (size_t i = 0; i < inherited; i++)
        if (!is_set_by(environ[i], made, set))
            made[count++] = environ[i];
    made[count] = NULL;
    return made;
}
