#include "convert/user_host.h"

#include <algorithm>
#include <cmath>

namespace zumo {

int progress_percent(int max, int position)
{
    if (max == 0) {
        max = 1;
        position = 1;
    }
    // The original computed Position / Max * 100 in x87 extended precision
    // and rounded with the FPU's default mode, to nearest with halves to
    // even; long double and rint give the same on x86 and the nearest
    // equivalent elsewhere. The bar's range is 0..100, so anything beyond is
    // shown at its end.
    const long double percent =
        static_cast<long double>(position) / static_cast<long double>(max) * 100.0L;
    const long double rounded = std::rint(std::clamp(percent, 0.0L, 100.0L));
    return static_cast<int>(rounded);
}

} // namespace zumo
