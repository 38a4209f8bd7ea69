// The built-in signature database: 59 virus definitions in chain order.
//
// Macro names are Windows-1252 bytes; those above 0x7F are written as escapes so the source stays
// ASCII (a string break after an escape keeps the next letter out of it). Job 0 upper-cases the
// macro names in place, so the tables live in writable storage.
#include "sigdb.h"

#define ZM_COUNT(a) static_cast<int32_t>(sizeof(a) / sizeof((a)[0]))

// The tables keep one row per entry, aligned.
// clang-format off
namespace {

// Byte signatures of macro bodies, in hex. No string occurs inside another.
constexpr char kSatanicOpen1[] = "983CE58A93DE620228A8D97587BA8EC0";
constexpr char kSatanicOpen2[] = "2F9C0FE4F659D306B8E2";
constexpr char kSatanicNew1[] = "4304C15510EF1A5A79803C2F6D0A5CF854780B30ED";
constexpr char kSatanicNew2[] = "A3A886480D6FAEED3459205A77FFE7713F3E6CC305";
constexpr char kPoliteClose1[] = "90EDE149481533F307FC33";
constexpr char kPoliteClose2[] = "5678789695215B99917E41EA";
constexpr char kPoliteSaveas1[] = "5E328DD7657C8C247FA7B12DBF22015019BAF83B87C503E399";
constexpr char kPoliteSaveas2[] = "40EB4BC4AEAE88E7780E10612DE79E8EF57844A81320F3DE";
constexpr char kAlliance[] = "6F67EFF30651FE418D82584C24AB0857D61B0A45E8DE4C2276A816C506B9ED17CEB01F4FD824";
// A test-only build (ZM_TEST_VARIANT_DATABASE) carries a database that differs from this one in one
// byte of one signature, so that a front end can be shown to read the library it loaded.
#ifdef ZM_TEST_VARIANT_DATABASE
constexpr char kWiederClose[] = "BC3DE010B19502269B";
#else
constexpr char kWiederClose[] = "BC3DE010B19502269A";
#endif
constexpr char kWiederOpen[] = "533ACEFE580017F49FE2F1BE6F8A18701C5652C61E66";
constexpr char kDmv[] = "557785EAAE0015A369204B7E17BF1FB452D6A6";
constexpr char kWazzu1[] = "6E50D2A3F6DCC5A8AB4CF110D99F4181D3F1AAD4C58AF9A482D5";
constexpr char kWazzu2[] = "1D2DCDE444899192CFBD70BF94D99D";
constexpr char kKilldll[] = "34756634451B833513890E788DCA56360DD1D9868451DC";
constexpr char kFormatc[] = "D587CC8C34C639199BB242C60EA791EA";
constexpr char kDate[] = "F458F22A17D2DC71F80B70F12A41D0C846FAD0";
constexpr char kDivina[] = "DE55C2E9926704823F00D03FAB7032EDAFE44295C02BD66D02114163";
constexpr char kGoldfish[] = "FAA167CB33C34AC381F4063A8AEFD69B384AE8E9A301";
constexpr char kSticky[] = "82A3308A83C12736ADB1A6BB1B1733CDA1FAACA7";
constexpr char kNpad[] = "9126480F7CACEC4282C627238307F3DF34C9";
constexpr char kGuess[] = "AA91485606DD048659790ACE6B625FF63D8031";
constexpr char kEasyman[] = "ED70FE5CC72C34AB275D8A4030993CE30F";
constexpr char kSaversex[] = "DB43E2C79E9CB65D72321F36902B0B11BD53BC01";

// Macro names of each definition, in stored order; a name with signatures lists them after it.
#define M(name, ...) {name, {__VA_ARGS__}}
MacroDef m01[] = {M("AutoExec"), M("AutoOpen"), M("DAT1"), M("DAT2"), M("DAT3"), M("DAT4"), M("DAT5"), M("DAT6"), M("DAT7"), M("DAT8"), M("DAT9"), M("DAT10"), M("DAT11"), M("DAT12"), M("DAT13"), M("DAT14"), M("DAT15"), M("DAT16"), M("DAT17"), M("DAT18")};  // Macro.Word.WMVCK
MacroDef m02[] = {M("Abbrechen"), M("Cancel"), M("DateiBeenden"), M("DateiNeu"), M("Datei\xD6" "ffnen"), M("DateiSchlie\xDF" "en"), M("DateiSpeichern"), M("DateiSpeichernUnter"), M("ExtrasMacro"), M("ExtrasMakro"), M("Fast"), M("FileExit"), M("FileNew"), M("FileOpen"), M("FileSave"), M("FileSaveAs"), M("Infizieren"), M("AutoExec"), M("AutoOpen"), M("Talk")};  // Macro.Word.Friendly
MacroDef m03[] = {M("Action"), M("AutoExec"), M("AutoOpen"), M("DateiAllesSpeichern"), M("DateiDokVorlagen"), M("Datei\xD6" "ffnen"), M("DateiSchlie\xDF" "en"), M("DateiSpeichern"), M("DateiSpeichernUnter"), M("DatumUndUhrzeit"), M("\xD6" "ffnen"), M("Speichern"), M("ExtrasMakro")};  // Macro.Word.Clock
MacroDef m04[] = {M("AutoExec"), M("AutoOpen"), M("DateiBeenden"), M("DateiDrucken"), M("DateiDruckenStandard"), M("Datei\xD6" "ffnen"), M("DateiSpeichern"), M("DateiSpeichernUnter"), M("Drop"), M("Dummy"), M("ExtrasMakro")};  // Macro.Word.Xenixos
MacroDef m05[] = {M("ToolsMacro"), M("AutoOpen"), M("FileSaveAs"), M("AutoExec"), M("FileNew"), M("FileSave"), M("AutoClose"), M("FileExit"), M("macros")};  // Macro.Word.Colors
MacroDef m06[] = {M("AutoExec"), M("AutoOpen"), M("DropSuriv"), M("FileExit"), M("FilePrint"), M("FilePrintDefault"), M("FileSaveAs"), M("InsertPayload"), M("Payload")};  // Macro.Word.Nuclear.a
MacroDef m07[] = {M("autoexec"), M("autoopen"), M("dateidokvorlagen"), M("dateidrucken"), M("dateidruckenstandard"), M("DateiSpeichernUnter"), M("datei\xF6" "ffnen"), M("extrasmakro"), M("spooky")};  // Macro.Word.Spooky
MacroDef m08[] = {M("AutoExec"), M("AutoOpen"), M("AutoClose"), M("DateiBeenden"), M("Telefonica"), M("DateiDrucken"), M("DateiNeu"), M("Datei\xD6" "ffnen")};  // Macro.Word.Sex.b
MacroDef m09[] = {M("AutoExit"), M("Autoexec"), M("AutoOpen"), M("FileSaveAs"), M("PARA"), M("PayLoad"), M("SITE")};  // Macro.Word.Concept.f/g
MacroDef m10[] = {M("a678"), M("AutoOpen"), M("I8U9Y13"), M("K"), M("PARA"), M("PayLoad"), M("SITE")};  // Macro.Word.Concept.f/g
MacroDef m11[] = {M("AutoClose"), M("Microsoft01"), M("Microsoft02"), M("Microsoft03"), M("Microsoft04"), M("Microsoft05"), M("ToolsMacro")};  // Macro.Word.Assistant
MacroDef m12[] = {M("AutoExec"), M("AutoOpen"), M("DateiBeenden"), M("DateiDrucken"), M("DateiNeu"), M("Datei\xD6" "ffnen"), M("Telefonica")};  // Macro.Word.Sex.a
MacroDef m13[] = {M("AutoClose"), M("citation"), M("EditSize"), M("FileSaveAs"), M("FileSort"), M("HaHa"), M("spiff")};  // Macro.Word.HaHa
MacroDef m14[] = {M("AutoExec"), M("AutoOpen"), M("FilePrint"), M("FilePrintDefault"), M("FileSaveAs"), M("InsertPayload"), M("Payload")};  // Macro.Word.Nuclear.b
MacroDef m15[] = {M("AutoClose"), M("AutoCloseScanOld"), M("autoOpen"), M("Forms"), M("MakeRefTable"), M("PayLoad"), M("StraightenQuotes")};  // Macro.Word.Wazzu.e
MacroDef m16[] = {M("AOpnFinish"), M("AutoClose"), M("AutoExec"), M("AutoOpen"), M("FCFinish"), M("FileClose")};  // Macro.Word.Maddog
MacroDef m17[] = {M("AutoOpen"), M("Autoexec"), M("FileSaveAs"), M("PARA"), M("PayLoad"), M("SITE"), M("a678"), M("K")};  // Macro.Word.Pardot
MacroDef m18[] = {M("AutoClose"), M("AutoOpen", kSatanicOpen1, kSatanicOpen2), M("AutoNew", kSatanicNew1, kSatanicNew2), M("AutoExec"), M("AutoExit")};  // Macro.Word.Satanic
MacroDef m19[] = {M("Install"), M("MVDKAbout"), M("MVDKMain"), M("MVDKPayLoad"), M("UnInstall")};  // Macro.Word.MVDK
MacroDef m20[] = {M("DATEIBeenden"), M("DATEIDokVorlagen"), M("DATEISchlie\xDF" "en"), M("DATEISpeichernUnter"), M("EXTRASMakro")};  // Macro.Word.Dietzel
MacroDef m21[] = {M("AutoExec"), M("AutoOpen"), M("FileSave"), M("FileSaveAs"), M("ToolsCustomize"), M("Test"), M("ToolsMacro")};  // Macro.Word.Concept.j
MacroDef m22[] = {M("AAAZFS"), M("AAAZAO"), M("PayLoad"), M("FileSaveAs"), M("AutoOpen")};  // Macro.Word.Concept.a
MacroDef m23[] = {M("Atom"), M("AutoOpen"), M("FileOpen"), M("FileSaveAs")};  // Macro.Word.Atom
MacroDef m24[] = {M("AutoOpen"), M("DrawBringInFrOut"), M("InsertPBreak"), M("ToolsRepaginat"), M("StartOfDoc"), M("FileSave"), M("InsertPageBreak")};  // Macro.Word.Hot
MacroDef m25[] = {M("AutoExec"), M("AutoOpen"), M("DateiSpeichernUnter"), M("System")};  // Macro.Word.Boom
MacroDef m26[] = {M("XAAZAO"), M("XAAZFS"), M("XayLoad"), M("XutoOpen")};  // Macro.Word.Concept.b
MacroDef m27[] = {M("AAAZAO"), M("AAAZFS"), M("FichierEnregistrerSous"), M("PayLoad")};  // Macro.Word.Concept.Frencho
MacroDef m28[] = {M("ToolsSpelling"), M("\xCEPayLoad"), M("DocClose"), M("AAA\xD9\xDB\xD2"), M("AAA\xCB\xCA\xD0")};  // Macro.Word.Concept.i
MacroDef m29[] = {M("Boom"), M("F1"), M("F2"), M("AutoOpen"), M("FileSaveAs")};  // Macro.Word.Concept.c
MacroDef m30[] = {M("EditSize"), M("FileSaveAs"), M("FileSort"), M("HaHa")};  // Macro.Word.Concept.d
MacroDef m31[] = {M("AAAZFS"), M("AAAZAO"), M("Load"), M("AutoOpen"), M("FileSaveAs")};  // Macro.Word.Concept.e
MacroDef m32[] = {M("AntiVirus"), M("FileSave"), M("WordHelp"), M("WordHelpNT"), M("AutoOpen")};  // Macro.Word.Irish
MacroDef m33[] = {M("Lading"), M("AutoOpen"), M("IkWordNietGoed2"), M("BestandOpslaanAls"), M("IkWordNietGoed1")};  // Macro.Word.Pheeew
MacroDef m34[] = {M("AutoNew"), M("FileSaveAs"), M("vAutoNew"), M("vFileSaveAs")};  // Macro.Word.Tedious
MacroDef m35[] = {M("AutoOpen"), M("FClose"), M("FileClose"), M("FA"), M("NowRun")};  // Macro.Word.Reflex
MacroDef m36[] = {M("Doggie"), M("AutoOpen"), M("FileSaveAs")};  // Macro.Word.Doggie
MacroDef m37[] = {M("AutoClose"), M("DMV"), M("FileSaveAs")};  // Macro.Word.Imposter
MacroDef m38[] = {M("NOP"), M("AutoOpen"), M("DateiSpeichern")};  // Macro.Word.NOP
MacroDef m39[] = {M("nf"), M("autoclose")};  // Macro.Word.NF
MacroDef m40[] = {M("AutoOpen"), M("DateiSpeichernUnter")};  // Macro.Word.PCW
MacroDef m41[] = {M("FileClose", kPoliteClose1, kPoliteClose2), M("FileSaveAs", kPoliteSaveas1, kPoliteSaveas2)};  // Macro.Word.Polite
MacroDef m42[] = {M("AutoOpen", kAlliance), M("AutoNew", kAlliance)};  // Macro.Word.Alliance
MacroDef m43[] = {M("Gangsterz"), M("Paradise")};  // Macro.Word.Gangster
MacroDef m44[] = {M("AutoOpen"), M("B\xFCroNeu")};  // Macro.Word.Buero
MacroDef m45[] = {M("AutoOpen"), M("Test")};  // Macro.Word.Date
MacroDef m46[] = {M("AutoClose", kWiederClose), M("AutoOpen", kWiederOpen)};  // Macro.Word.Wieder
MacroDef m47[] = {M("AutoClose", kDmv)};  // Macro.Word.DMV
MacroDef m48[] = {M("autoOpen", kWazzu1, kWazzu2)};  // Macro.Word.Wazzu
MacroDef m49[] = {M("AutoOpen", kKilldll)};  // Macro.Word.KillDll
MacroDef m50[] = {M("AutoOpen", kFormatc)};  // Macro.Word.Trojan.FormatC
MacroDef m51[] = {M("AutoOpen", kDate)};  // Macro.Word.Date
MacroDef m52[] = {M("AutoClose", kDivina)};  // Macro.Word.Divina
MacroDef m53[] = {M("AutoOpen", kGoldfish), M("AutoClose")};  // Macro.Word.Goldfish
MacroDef m54[] = {M("AutoClose", kSticky)};  // Macro.Word.Sticky
MacroDef m55[] = {M("AutoOpen", kNpad)};  // Macro.Word.NPAD
MacroDef m56[] = {M("AutoOpen", kAlliance)};  // Macro.Word.Alliance
MacroDef m57[] = {M("AutoOpen", kGuess)};  // Macro.Word.Guess
MacroDef m58[] = {M("autoopen", kEasyman)};  // Macro.Word.Easyman
MacroDef m59[] = {M("dateispeichern", kSaversex)};  // Macro.Word.SaverSex
#undef M

}  // namespace

// The chain. Columns: virus name (returned by the readers), iThreshold (matching names needed;
// never rises along the chain), iVerify (0 names suffice, 1/2 signatures must confirm), macro list.
#define D(name, threshold, verify, macros) {name, threshold, verify, macros, ZM_COUNT(macros)}
VirusDef g_aVirusDefs[ZM_DEFINITIONS] = {
    D("Macro.Word.WMVCK",           20, 0, m01),  //  1
    D("Macro.Word.Friendly",        18, 0, m02),  //  2
    D("Macro.Word.Clock",           11, 0, m03),  //  3
    D("Macro.Word.Xenixos",         11, 0, m04),  //  4
    D("Macro.Word.Colors",           9, 0, m05),  //  5
    D("Macro.Word.Nuclear.a",        9, 0, m06),  //  6
    D("Macro.Word.Spooky",           9, 0, m07),  //  7
    D("Macro.Word.Sex.b",            8, 0, m08),  //  8
    D("Macro.Word.Concept.f/g",      7, 0, m09),  //  9
    D("Macro.Word.Concept.f/g",      7, 0, m10),  // 10
    D("Macro.Word.Assistant",        7, 0, m11),  // 11
    D("Macro.Word.Sex.a",            7, 0, m12),  // 12
    D("Macro.Word.HaHa",             7, 0, m13),  // 13
    D("Macro.Word.Nuclear.b",        7, 0, m14),  // 14
    D("Macro.Word.Wazzu.e",          7, 0, m15),  // 15
    D("Macro.Word.Maddog",           6, 0, m16),  // 16
    D("Macro.Word.Pardot",           6, 0, m17),  // 17
    D("Macro.Word.Satanic",          5, 2, m18),  // 18
    D("Macro.Word.MVDK",             5, 0, m19),  // 19
    D("Macro.Word.Dietzel",          5, 0, m20),  // 20
    D("Macro.Word.Concept.j",        5, 0, m21),  // 21
    D("Macro.Word.Concept.a",        4, 0, m22),  // 22
    D("Macro.Word.Atom",             4, 0, m23),  // 23
    D("Macro.Word.Hot",              4, 0, m24),  // 24
    D("Macro.Word.Boom",             4, 0, m25),  // 25
    D("Macro.Word.Concept.b",        4, 0, m26),  // 26
    D("Macro.Word.Concept.Frencho",  4, 0, m27),  // 27
    D("Macro.Word.Concept.i",        4, 0, m28),  // 28
    D("Macro.Word.Concept.c",        4, 0, m29),  // 29
    D("Macro.Word.Concept.d",        4, 0, m30),  // 30
    D("Macro.Word.Concept.e",        4, 0, m31),  // 31
    D("Macro.Word.Irish",            4, 0, m32),  // 32
    D("Macro.Word.Pheeew",           4, 0, m33),  // 33
    D("Macro.Word.Tedious",          4, 0, m34),  // 34
    D("Macro.Word.Reflex",           3, 0, m35),  // 35
    D("Macro.Word.Doggie",           3, 0, m36),  // 36
    D("Macro.Word.Imposter",         2, 0, m37),  // 37
    D("Macro.Word.NOP",              2, 0, m38),  // 38
    D("Macro.Word.NF",               2, 0, m39),  // 39
    D("Macro.Word.PCW",              2, 0, m40),  // 40
    D("Macro.Word.Polite",           2, 2, m41),  // 41
    D("Macro.Word.Alliance",         2, 1, m42),  // 42
    D("Macro.Word.Gangster",         2, 0, m43),  // 43
    D("Macro.Word.Buero",            2, 0, m44),  // 44
    D("Macro.Word.Date",             2, 0, m45),  // 45
    D("Macro.Word.Wieder",           1, 1, m46),  // 46
    D("Macro.Word.DMV",              1, 1, m47),  // 47
    D("Macro.Word.Wazzu",            1, 1, m48),  // 48
    D("Macro.Word.KillDll",          1, 1, m49),  // 49
    D("Macro.Word.Trojan.FormatC",   1, 1, m50),  // 50
    D("Macro.Word.Date",             1, 1, m51),  // 51
    D("Macro.Word.Divina",           1, 1, m52),  // 52
    D("Macro.Word.Goldfish",         1, 1, m53),  // 53
    D("Macro.Word.Sticky",           1, 1, m54),  // 54
    D("Macro.Word.NPAD",             1, 1, m55),  // 55
    D("Macro.Word.Alliance",         1, 1, m56),  // 56
    D("Macro.Word.Guess",            1, 1, m57),  // 57
    D("Macro.Word.Easyman",          1, 1, m58),  // 58
    D("Macro.Word.SaverSex",         1, 1, m59),  // 59
};
#undef D
// clang-format on

VirusDef* const g_pDatabaseHead = &g_aVirusDefs[0];
const int32_t g_lDefinitionCount = 59;

VirusDef* SIG_pNext(const VirusDef* pDef) {
  if (pDef == nullptr || pDef < g_aVirusDefs || pDef >= g_aVirusDefs + ZM_DEFINITIONS - 1)
    return nullptr;
  return const_cast<VirusDef*>(pDef + 1);
}

int32_t SIG_iSignatures(void) { return g_lDefinitionCount; }
