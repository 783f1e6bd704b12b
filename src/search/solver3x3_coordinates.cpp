// Face turns, cubies and the solver's coordinates.
#include <algorithm>
#include <bit>

#include "search/coordinates.hpp"
#include "search/solver3x3_tables.hpp"
#include "search/solver3x3_testing.hpp"

namespace twirlkit {

// ---------------------------------------------------------------------------
// Face turns

void two_phase::apply_face_turn(Cube3x3& cube, FaceTurn turn) noexcept {
    const MoveIndex quarter = 2 * face_of(turn);
    switch (kind_of(turn)) {
        case FACE_TURN_CLOCKWISE: apply_move_index_internal(cube, quarter); break;
        case FACE_TURN_PRIME: apply_move_index_internal(cube, quarter + 1); break;
        default:
            apply_move_index_internal(cube, quarter);
            apply_move_index_internal(cube, quarter);
            break;
    }
}

std::string face_turn_text(FaceTurn turn) {
    std::string text(1, FACES[face_of(turn) % FACE_COUNT].letter);
    if (kind_of(turn) == FACE_TURN_HALF) text += '2';
    if (kind_of(turn) == FACE_TURN_PRIME) text += '\'';
    return text;
}

std::string face_turns_text(std::span<const FaceTurn> turns) {
    std::string text;
    for (FaceTurn turn : turns) {
        if (!text.empty()) text += ' ';
        text += face_turn_text(turn);
    }
    return text;
}

Cube3x3 apply_face_turns(Cube3x3 cube, std::span<const FaceTurn> turns) noexcept {
    for (FaceTurn turn : turns) two_phase::apply_face_turn(cube, turn);
    return cube;
}

// ---------------------------------------------------------------------------
// Cubies and coordinates

namespace two_phase {

Cubies cubies_of(const Cube3x3& cube) noexcept {
    Cubies s;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const Word v = slot_value(cube.corners, k);
        s.cp[k] = static_cast<std::uint8_t>(v & CORNER_PIECE_MASK);
        s.co[k] = static_cast<std::uint8_t>(v >> ORIENTATION_SHIFT);
    }
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        const Word v = slot_value(cube.edges, k);
        s.ep[k] = static_cast<std::uint8_t>(v & EDGE_PIECE_MASK);
        s.eo[k] = static_cast<std::uint8_t>(v >> FLIP_SHIFT);
    }
    return s;
}

Cube3x3 cube_of(const Cubies& s) noexcept {
    Cube3x3 cube{0, 0};
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        cube.corners |= Word{static_cast<Word>(s.co[k] << ORIENTATION_SHIFT) | s.cp[k]}
                        << (SLOT_BITS * k);
    }
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        cube.edges |= Word{static_cast<Word>(s.eo[k] << FLIP_SHIFT) | s.ep[k]} << (SLOT_BITS * k);
    }
    return cube;
}

namespace {

constexpr std::uint8_t FIRST_SLICE_EDGE = 8;

// The places of the four middle edges as a 12-bit slot mask, numbered by
// descending mask, so that the home places (slots 8..11) are number 0.
struct SlicePlaces {
    std::array<std::uint16_t, 4096> index_of{};
    std::array<std::uint16_t, SLICE_COUNT> mask_of{};
    SlicePlaces() noexcept {
        index_of.fill(0xFFFF);
        std::uint16_t next = 0;
        for (unsigned mask = 4096; mask-- > 0;) {
            if (std::popcount(mask) != 4) continue;
            index_of[mask] = next;
            mask_of[next] = static_cast<std::uint16_t>(mask);
            ++next;
        }
    }
};
const SlicePlaces& slice_places() noexcept {
    static const SlicePlaces places;
    return places;
}

}  // namespace

unsigned twist_of(const Cubies& s) noexcept {
    return orientation_code<3, CORNER_COUNT>([&s](std::size_t k) { return s.co[k]; });
}
void set_twist(Cubies& s, unsigned t) noexcept {
    orientations_of_code<3, CORNER_COUNT>(
        t, [&s](std::size_t k, unsigned o) { s.co[k] = static_cast<std::uint8_t>(o); });
}

unsigned flip_of(const Cubies& s) noexcept {
    return orientation_code<2, EDGE_COUNT>([&s](std::size_t k) { return s.eo[k]; });
}
void set_flip(Cubies& s, unsigned f) noexcept {
    orientations_of_code<2, EDGE_COUNT>(
        f, [&s](std::size_t k, unsigned o) { s.eo[k] = static_cast<std::uint8_t>(o); });
}

unsigned slice_sorted_of(const Cubies& s) noexcept {
    unsigned mask = 0;
    std::array<std::uint8_t, 4> order{};
    unsigned seen = 0;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        if (s.ep[k] >= FIRST_SLICE_EDGE) {
            mask |= 1U << k;
            if (seen < 4) order[seen] = static_cast<std::uint8_t>(s.ep[k] - FIRST_SLICE_EDGE);
            ++seen;
        }
    }
    return slice_places().index_of[mask & 4095] * SLICE_PERM_COUNT + permutation_rank(order);
}
void set_slice_sorted(Cubies& s, unsigned coordinate) noexcept {
    const unsigned mask = slice_places().mask_of[coordinate / SLICE_PERM_COUNT];
    const auto order = permutation_of_rank<4>(static_cast<std::uint32_t>(coordinate % SLICE_PERM_COUNT));
    std::uint8_t slice_next = 0;
    std::uint8_t other_next = 0;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        s.ep[k] = (mask >> k) & 1 ? static_cast<std::uint8_t>(FIRST_SLICE_EDGE + order[slice_next++])
                                  : other_next++;
    }
}

unsigned corner_perm_of(const Cubies& s) noexcept { return permutation_rank(s.cp); }
void set_corner_perm(Cubies& s, unsigned coordinate) noexcept {
    s.cp = permutation_of_rank<CORNER_COUNT>(coordinate);
}

unsigned ud_edge_perm_of(const Cubies& s) noexcept {
    return permutation_rank<8>([&s](std::size_t k) { return s.ep[k]; });
}
void set_ud_edge_perm(Cubies& s, unsigned coordinate) noexcept {
    const auto perm = permutation_of_rank<8>(coordinate);
    std::copy(perm.begin(), perm.end(), s.ep.begin());
}

}  // namespace two_phase

Coordinates coordinates_of(const Cube3x3& cube) noexcept {
    using namespace two_phase;
    const Cubies s = cubies_of(cube);
    Coordinates c{};
    c.twist = static_cast<std::uint16_t>(twist_of(s));
    c.flip = static_cast<std::uint16_t>(flip_of(s));
    c.slice_sorted = static_cast<std::uint16_t>(slice_sorted_of(s));
    c.corner_perm = static_cast<std::uint16_t>(corner_perm_of(s));
    c.ud_edge_perm = c.slice_sorted < SLICE_PERM_COUNT
                         ? static_cast<std::uint16_t>(ud_edge_perm_of(s))
                         : std::uint16_t{0};
    return c;
}

}  // namespace twirlkit
