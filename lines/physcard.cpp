// The installation's card: the E1/ISUP card with its analog ports. When it
// cannot be opened its status is negative and it offers no lines.
#include "lines/carddrive.h"
#include "lines/kxcard.h"

std::unique_ptr<TagKxCard> MakePhysicalCard() { return std::make_unique<TagCardIsupDrive>(); }
