// End flags: the per-port list of final result strings and the rule that
// ends a command at the first line containing one of them.
#include <cstring>

#include "port/port.h"

static const char *const DEFAULT_END_FLAGS[END_FLAG_SLOTS] = {
    "OK", "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER",
};

constexpr size_t SPEC_MAX = 511;
constexpr size_t MATCH_LINE_MAX = 1023;

static void store_flag(end_flag_list *list, const char *text, size_t length)
{
    if (length > END_FLAG_SIZE - 1)
        length = END_FLAG_SIZE - 1;
    char *slot = list->flags[list->count++];
    memcpy(slot, text, length);
    slot[length] = '\0';
}

static void load_defaults(end_flag_list *list)
{
    list->count = 0;
    for (const char *flag : DEFAULT_END_FLAGS)
        store_flag(list, flag, strlen(flag));
}

void end_flags_set(end_flag_list *list, const char *spec)
{
    list->count = 0;
    if (!spec || !*spec) {
        load_defaults(list);
        return;
    }

    char work[SPEC_MAX + 1];
    size_t spec_length = strnlen(spec, SPEC_MAX);
    memcpy(work, spec, spec_length);
    work[spec_length] = '\0';

    char *save = nullptr;
    for (char *field = strtok_r(work, ",", &save); field && list->count < END_FLAG_SLOTS;
         field = strtok_r(nullptr, ",", &save)) {
        field += strspn(field, " \t");
        size_t length = strlen(field);
        while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\t'))
            length--;
        if (length > 0)
            store_flag(list, field, length);
    }
    if (list->count == 0)
        load_defaults(list);
}

const end_flag_list &default_end_flags()
{
    static const end_flag_list defaults = [] {
        end_flag_list list;
        load_defaults(&list);
        return list;
    }();
    return defaults;
}

static bool is_line_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool end_flag_match(const end_flag_list *list, const char *line, char *matched)
{
    char work[MATCH_LINE_MAX + 1];
    size_t length = strnlen(line, MATCH_LINE_MAX);
    memcpy(work, line, length);
    work[length] = '\0';

    char *text = work;
    while (is_line_space(*text))
        text++;
    char *end = text + strlen(text);
    while (end > text + 1 && is_line_space(end[-1]))
        end--;
    *end = '\0';

    // Containment covers equality and prefix, so one test per flag is enough;
    // list order decides which flag is reported.
    for (int i = 0; i < list->count; i++) {
        if (strstr(text, list->flags[i])) {
            if (matched)
                memcpy(matched, list->flags[i], END_FLAG_SIZE);
            return true;
        }
    }
    return false;
}
