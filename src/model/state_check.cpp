#include "model/state_check.hpp"

namespace twirlkit {

namespace {

std::string number(std::int64_t value) { return std::to_string(value); }

const char* parity_name(std::int64_t parity) { return parity != 0 ? "odd" : "even"; }

}  // namespace

std::string describe(const StateFault& fault) {
    using K = StateFault::Kind;
    const auto& v = fault.values;
    const std::string where = std::to_string(fault.where);
    switch (fault.kind) {
        case K::none: return "a reachable state";
        case K::code_range:
            return "sticker " + where + " has code " +
                   (v[1] != 0 ? std::to_string(static_cast<std::uint64_t>(v[0])) : number(v[0])) +
                   ", not a colour code 0..5";
        case K::colour_count:
            return "colour " + where + " occurs " + number(v[0]) + " times, not " + number(v[1]);
        case K::centre:
            return "the centre sticker " + where + " has colour " + number(v[0]) + ", not " +
                   number(v[1]);
        case K::unknown_corner:
            return "corner slot " + where + " shows colours (" + number(v[0]) + ", " +
                   number(v[1]) + ", " + number(v[2]) + "), which no corner has";
        case K::unknown_edge:
            return "edge slot " + where + " shows colours (" + number(v[0]) + ", " +
                   number(v[1]) + "), which no edge has";
        case K::high_bits:
            return std::string("the ") + (fault.where == 0 ? "corner" : "edge") +
                   " word has bits set above its last slot";
        case K::orientation: return "corner slot " + where + " has orientation 3";
        case K::edge_piece:
            return "edge slot " + where + " holds piece " + number(v[0]) + ", not an edge 0..11";
        case K::repeated_corner: return "corner piece " + number(v[0]) + " occurs more than once";
        case K::repeated_edge: return "edge piece " + number(v[0]) + " occurs more than once";
        case K::twist: return "the corner twists sum to " + number(v[0]) + " (mod 3)";
        case K::flip: return "the edge flips sum to " + number(v[0]) + " (mod 2)";
        case K::parity:
            return std::string("the corner permutation is ") + parity_name(v[0]) +
                   " but the edge permutation is " + parity_name(v[1]);
    }
    return "an unknown fault";
}

}  // namespace twirlkit
