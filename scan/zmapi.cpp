// Export names shared by the platform loaders.
#include "zmapi.h"

const char* const g_apszZmExports[17] = {"MACRO_Handler",
                                         "MACRO_Signatures",
                                         "MACRO_DecryptDef",
                                         "MACRO_ScanRaw",
                                         "MACRO_CallTraverse",
                                         "MACRO_lDosPath",
                                         "TUL_iStrLen",
                                         "TUL_iInStr",
                                         "TUL_szMakeSpec",
                                         "TUL_szGetCWD",
                                         "TUL_szGetWindowsDirectory",
                                         "TUL_iChDrive",
                                         "TUL_iGetDrive",
                                         "TUL_iKindOfDrive",
                                         "TUL_iCopyFile",
                                         "TUL_iWinHelp",
                                         "TUL_lGetActiveWindow"};

static_assert(sizeof(ZmApi) == 17 * sizeof(void*), "one member per export");
