// End flags: the per-port list of what ends a command, and the rule that
// ends it at the first line that matches one of them: a final result code
// matches only that whole line, any other flag a line that contains it.
#include <cstring>

#include "port/grammar.h"
#include "port/port_internal.h"

static const char *const DEFAULT_END_FLAGS[END_FLAG_SLOTS] = {
    "OK", "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER",
};

constexpr size_t MATCH_LINE_MAX = 1023;

static void store_flag(end_flag_list *list, const char *text, size_t length)
{
    if (length > END_FLAG_SIZE - 1)
        length = END_FLAG_SIZE - 1;
    char *slot = list->flags[list->count];
    memcpy(slot, text, length);
    slot[length] = '\0';
    list->codes[list->count] = final_code_named(slot);
    if (list->codes[list->count++] == FINAL_NONE)
        list->text_flags++;
}

static void load_defaults(end_flag_list *list)
{
    list->count = 0;
    list->text_flags = 0;
    for (const char *flag : DEFAULT_END_FLAGS)
        store_flag(list, flag, strlen(flag));
}

void end_flags_set(end_flag_list *list, const char *spec)
{
    if (!spec || !*spec) {
        *list = default_end_flags();
        return;
    }
    list->count = 0;
    list->text_flags = 0;

    // The whole text is walked: a long first field must not hide the
    // flags after it.
    for (const char *field = spec; list->count < END_FLAG_SLOTS;) {
        const char *comma = strchr(field, ',');
        const char *end = comma ? comma : field + strlen(field);
        while (field < end && (*field == ' ' || *field == '\t'))
            field++;
        while (end > field && (end[-1] == ' ' || end[-1] == '\t'))
            end--;
        if (end > field)
            store_flag(list, field, size_t(end - field));
        if (!comma)
            break;
        field = comma + 1;
    }
    if (list->count == 0)
        *list = default_end_flags();
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

bool end_flag_match_line(const end_flag_list *list, const char *line, size_t length, uint8_t code, char *matched)
{
    if (code == FINAL_NONE && list->text_flags == 0)
        return false; // a list of final results only, and no final result
    const char *text = nullptr, *end = nullptr;
    for (int i = 0; i < list->count; i++) {
        const char *flag = list->flags[i];
        bool hit;
        if (list->codes[i] != FINAL_NONE) {
            hit = final_code_fits(final_code(list->codes[i]), final_code(code));
        } else {
            // Containment looks at the first MATCH_LINE_MAX bytes, blanks
            // around them left out.
            if (!text) {
                text = line;
                end = line + (length < MATCH_LINE_MAX ? length : MATCH_LINE_MAX);
                while (text < end && is_line_space(*text))
                    text++;
                while (end > text + 1 && is_line_space(end[-1]))
                    end--;
            }
            hit = memmem(text, size_t(end - text), flag, strlen(flag)) != nullptr;
        }
        if (hit) {
            if (matched)
                memcpy(matched, flag, END_FLAG_SIZE);
            return true;
        }
    }
    return false;
}

bool end_flag_match(const end_flag_list *list, const char *line, char *matched)
{
    size_t length = strlen(line);
    return end_flag_match_line(list, line, length, final_code_of(line, length), matched);
}
