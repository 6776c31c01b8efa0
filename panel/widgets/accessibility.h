// What screen readers learn about the custom controls: a knob is a dial with a name and a value
// ("12 dB") that can be stepped; a button is a toggle with a name and a checked state.
#pragma once

namespace halvern::widgets {

// Registers the controls' accessibility interfaces; safe to call from every constructor.
void installControlAccessibility();

} // namespace halvern::widgets
