#include "light/AutoLevel.h"

namespace light {

int autoLevelStep(int litCount, int maxLeds, int threshold, int maximum) {
    if (litCount >= 0 && litCount <= maxLeds) {
        return threshold > kAutoLevelFloor ? threshold - 1 : threshold;
    }
    return threshold < maximum ? threshold + 1 : threshold;
}

}  // namespace light
