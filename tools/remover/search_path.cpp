/*
 * The package's entry in "DevicePath". Only whole entries are taken out:
 * "%SystemRoot%\drivers" is another folder and keeps all its characters.
 */
#include "remover.h"

/* Whether the entry from Entry up to EntryEnd is exactly the package's folder. */
static BOOL IsPackageEntry(const CHAR *Entry, const CHAR *EntryEnd)
{
    const CHAR *wanted = PACKAGE_SEARCH_PATH;
    const CHAR *at = Entry;

    while (at < EntryEnd && *wanted && *at == *wanted) {
        ++at;
        ++wanted;
    }
    return at == EntryEnd && *wanted == 0;
}

static CHAR *FindPackageEntry(CHAR *Text)
{
    CHAR *entry = Text;

    for (;;) {
        CHAR *end = entry;
        while (*end && *end != ';')
            ++end;
        if (IsPackageEntry(entry, end))
            return entry;
        if (!*end)
            return NULL;
        entry = end + 1;
    }
}

void RemovePackageSearchPath(CHAR *Text)
{
    CHAR *entry;

    while ((entry = FindPackageEntry(Text)) != NULL) {
        CHAR *cut = entry;
        const CHAR *rest = entry + lstrlenA(PACKAGE_SEARCH_PATH);
        /* The separator before the entry goes with it; one after it stays. */
        if (entry != Text && entry[-1] == ';')
            --cut;
        do {
            *cut++ = *rest;
        } while (*rest++);
    }
}
