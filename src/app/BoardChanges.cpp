// Boards that come and go while the show runs: the window's part. The boards decide what
// joined, take it on and show it; here the kind's switch follows as start-up would have set it.
#include <QCheckBox>

#include "app/Controls.h"
#include "app/KleurFlitsFrm.h"

namespace kf {

void KleurFlitsFrm::startWatchingBoards() {
    boards_.startWatching(
        {value(Check_iCP12) == 1, value(Check_Arduino) == 1, value(Check_K8055) == 1},
        [this](BoardKind kind) { return switchForArrival(kind); });
}

// A box left unticked only because start-up found no board of its kind ticks itself for the
// first one; one the user unticked stays so, and its boards get no frames until it is ticked.
bool KleurFlitsFrm::switchForArrival(BoardKind kind) {
    QCheckBox* box = kind == BoardKind::Icp12     ? Check_iCP12
                     : kind == BoardKind::Arduino ? Check_Arduino
                                                  : Check_K8055;
    if (boards_.watch().registry().tickOnArrival(kind)) {
        setDeviceBox(box, true);
    }
    return value(box) == 1;
}

}  // namespace kf
