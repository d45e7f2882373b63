// A listing with a check box per line, as the drivers over ticked lines see
// it: the window's check list, or a fake in tests. Entries are read by index
// while the run goes on, since the window stays usable and may refill it.
#pragma once

#include <string>

namespace zumo {

class CheckListSource {
public:
    virtual ~CheckListSource() = default;
    virtual int Count() const = 0;
    virtual bool Checked(int index) const = 0;
    virtual std::string Text(int index) const = 0; // a bare file name
};

} // namespace zumo
