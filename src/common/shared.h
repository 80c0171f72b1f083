// Globals shared by the command line, the session driver and the dialog.
#pragma once

// 1 when -raw was given: the dialog prints trace lines as received and the
// driver prints no span after the dump.
extern int bShowRawData;
