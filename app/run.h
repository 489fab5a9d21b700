// The run: the steps of the check after the instance control, and the
// battery loop that ends them.
#pragma once

#include "platform.h"

// Opens the driver, sets up the session, reads and normalises the model
// name into the entry's buffers (APP_TEXT_CHARS each), checks the platform
// and the slots and runs the battery loop; the first failure decides the
// outcome, which is returned.
int RunCheck(BYTE *rawModel, BYTE *scratch, char *modelText);

// Examines each battery index; yields OUTCOME_RECALLED, OUTCOME_NOT_RECALLED,
// OUTCOME_NO_BATTERY or OUTCOME_QUERY_ERROR.
int CheckBatteries(BYTE bClass);
