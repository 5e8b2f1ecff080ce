// The converter page: output formats, the Timeline and conversion, the preview.
#include "app/Unit1_p.h"

namespace larkvale::app {

void TForm1::BuildConverterRegions() {}
void TForm1::ComboBox1Change() {}
void TForm1::FillConverterLists() {}
void TForm1::AddToTimeline(const QString&) {}

}  // namespace larkvale::app
