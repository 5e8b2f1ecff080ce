// The embedded browser: navigation, the address box and watch-page history.
#include "app/Unit1_p.h"

namespace larkvale::app {

void TForm1::BuildBrowserRegion() {}
void TForm1::NavigateStartPage() {}

}  // namespace larkvale::app
