#pragma once
// The converter's settings and the selected output format in the settings
// file, as string values beside "videodir" under the program's key; the
// file's other values and lines stay as they are.

#include "convert/outputsettings.h"
#include "platform/settings.h"

namespace larkvale::convert {

// Writes every choice in one replacement of the file; `accessor` has the key
// open. Throws ESettingsError as SettingsAccessor::WriteStrings does.
void StoreOutputChoices(platform::SettingsAccessor& accessor, const OutputChoices& choices);

// The stored choices over `defaults`. A value that is missing, of another
// type or unusable (an unknown format, an index that is not a whole number)
// leaves the default. Number fields come back as the text that was stored:
// they are read, and refused, when a conversion runs. Never throws.
OutputChoices RestoreOutputChoices(const platform::SettingsAccessor& accessor, OutputChoices defaults = {});

}  // namespace larkvale::convert
