// The image's load configuration. The loader reads DependentLoadFlags from
// it: the link settings set LOAD_LIBRARY_SEARCH_SYSTEM32 there, so that
// KERNEL32.dll and USER32.dll come from the system directory only, never
// from the program's directory or the search path.
//
// The structure is the 32-bit IMAGE_LOAD_CONFIG_DIRECTORY up to CodeIntegrity
// (Size says 0x68); everything the program does not use stays zero. Its
// data-directory entry gives 64 bytes (tools/finish-image sets that), the
// size that older loaders insist on; DependentLoadFlags lies within them.
#include <stddef.h>

#include "platform/platform.h"

typedef unsigned short WORD;

struct LoadConfigDirectory {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    DWORD DeCommitFreeBlockThreshold;
    DWORD DeCommitTotalFreeThreshold;
    DWORD LockPrefixTable;
    DWORD MaximumAllocationSize;
    DWORD VirtualMemoryThreshold;
    DWORD ProcessHeapFlags;
    DWORD ProcessAffinityMask;
    WORD CSDVersion;
    WORD DependentLoadFlags;
    DWORD EditList;
    DWORD SecurityCookie;
    DWORD SEHandlerTable;
    DWORD SEHandlerCount;
    DWORD GuardCFCheckFunctionPointer;
    DWORD GuardCFDispatchFunctionPointer;
    DWORD GuardCFFunctionTable;
    DWORD GuardCFFunctionCount;
    DWORD GuardFlags;
    WORD CodeIntegrityFlags;
    WORD CodeIntegrityCatalog;
    DWORD CodeIntegrityCatalogOffset;
    DWORD CodeIntegrityReserved;
};

static_assert(sizeof(LoadConfigDirectory) == 0x68, "the structure up to CodeIntegrity");
static_assert(offsetof(LoadConfigDirectory, DependentLoadFlags) + sizeof(WORD) <= 64,
              "within the part the data directory names");

static constexpr LoadConfigDirectory MakeLoadConfigDirectory()
{
    LoadConfigDirectory directory{};
    directory.Size = sizeof directory;
    return directory;
}

// The linker finds the structure by this name. A constant expression, so it
// is plain read-only data: nothing runs to initialise it.
extern "C" constexpr LoadConfigDirectory _load_config_used = MakeLoadConfigDirectory();
