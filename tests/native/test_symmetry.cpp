#include "kernels/symmetry_kernels.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "invariants.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"

namespace twirlkit {
namespace {

using testing::random_cube;
using testing::valid;

// The table-driven words equal the plain slot-by-slot forms for every
// symmetry, on a word with every slot twisted or flipped somewhere.
template <std::size_t... K>
consteval bool fast_words_match(std::index_sequence<K...>) {
    Cube3x3 x{};
    for (MoveIndex m : {MOVE_F, MOVE_R, MOVE_U_PRIME, MOVE_B, MOVE_L, MOVE_D_PRIME, MOVE_F}) {
        apply_move_index_internal(x, m);
    }
    return ((detail::fast_corner_word<K>(x.corners) == transform_corner_word(K, x.corners) &&
             detail::fast_edge_word<K>(x.edges) == transform_edge_word(K, x.edges)) && ...);
}
static_assert(fast_words_match(std::make_index_sequence<CUBE_SYMMETRY_COUNT>{}));

template <class C>
class SymmetryTest : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(SymmetryTest, CubeTypes);

// The batch kernels on several workers against the plain forms: one
// symmetry for all, one per cube, and the class minimum, which is the same
// for every member of a class and is reached by the symmetry reported.
TYPED_TEST(SymmetryTest, KernelsMatchThePlainForms) {
    using C = TypeParam;
    std::mt19937_64 rng(21);
    std::vector<C> cubes(700);
    for (C& c : cubes) c = random_cube<C>(rng);
    cubes[0] = C{};
    std::vector<C> out(cubes.size());
    for (unsigned k = 0; k < CUBE_SYMMETRY_COUNT; k += 7) {
        transform_cubes<C>(cubes, k, out.data(), 16);
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            ASSERT_EQ(out[i], transform_cube(k, cubes[i])) << k << " " << i;
            ASSERT_TRUE(valid(out[i]));
        }
    }
    std::vector<std::uint8_t> each(cubes.size());
    for (std::size_t i = 0; i < each.size(); ++i) each[i] = static_cast<std::uint8_t>(rng() % 48);
    transform_cubes_each<C>(cubes, each.data(), out.data(), 16);
    for (std::size_t i = 0; i < cubes.size(); ++i) ASSERT_EQ(out[i], transform_cube(each[i], cubes[i]));

    std::vector<C> least(cubes.size()), least_seen(cubes.size());
    std::vector<std::int8_t> which(cubes.size()), which_seen(cubes.size());
    for (bool rotations : {false, true}) {
        canonical_cubes<C>(cubes, rotations, least.data(), which.data(), 8);
        canonical_cubes<C>(out, rotations, least_seen.data(), which_seen.data(), 8);
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            ASSERT_EQ(least[i], transform_cube(static_cast<unsigned>(which[i]), cubes[i]));
            ASSERT_LT(which[i], rotations ? 24 : 48);
            for (unsigned k = 0; i < 40 && k < (rotations ? 24u : 48u); ++k) {
                ASSERT_LE(least[i].words(), transform_cube(k, cubes[i]).words());
            }
            if (rotations && each[i] >= CUBE_ROTATION_COUNT) continue;
            ASSERT_EQ(least[i], least_seen[i]) << i;
        }
    }
}

}  // namespace
}  // namespace twirlkit
