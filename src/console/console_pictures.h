#pragma once
// The console's pictures: the add and remove buttons at rest and under the pointer, the
// Spotlight switch off and on, and the masks of the three pairs. Each accessor reads its picture
// resource on first use, gives a shown picture its mask and keeps the result for the run, so
// every call returns the same picture. A picture that cannot be read stays empty, and the next
// call tries again. Main thread only.

#include "platform/ui/picture.h"

namespace pictures {

platform::ui::Picture opendatabase();        // add button under the pointer
platform::ui::Picture opendatabasecopy();    // add button at rest
platform::ui::Picture opendatabasemask();
platform::ui::Picture removedatabase();      // remove button under the pointer
platform::ui::Picture removedatabasecopy();  // remove button at rest
platform::ui::Picture removedatabasemask();
platform::ui::Picture spotlight_picbw();     // Spotlight switch off
platform::ui::Picture spotlight_pic();       // Spotlight switch on
platform::ui::Picture spotlight_mask();

// Empties every cache; at quit.
void release();

}  // namespace pictures
