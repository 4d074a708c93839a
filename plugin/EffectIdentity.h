/* The effect's name, maker and version: plain macros, so the Windows resource script reads the
 * same definitions as the code. */
#pragma once

#define FM_EFFECT_NAME "Fogmill"
#define FM_EFFECT_CATEGORY "Kettlebrook"
#define FM_EFFECT_MATCH_NAME "FGML Fogmill"
#define FM_MAKER_NAME "Kettlebrook"
#define FM_MAKER_URL "https://kettlebrook.dev/fogmill"
#define FM_COPYRIGHT_YEAR "2026"

#define FM_VERSION_MAJOR 1
#define FM_VERSION_MINOR 1
#define FM_VERSION_BUG 0
#define FM_VERSION_BUILD 0
#define FM_VERSION_TEXT "1.1.0"
