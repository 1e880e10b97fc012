#pragma once

#include <array>
#include <bit>
#include <cstdint>

// 64-bit xorshift generator; every draw of the patch matcher comes from one of these with
// a fixed seed, so a level gives the same field on every run.
struct XorShift {
    uint64_t s;

    void step() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
    }
    // A draw in [0, m).
    uint64_t below(uint64_t m) {
        step();
        return (s * 0x2545F4914F6CDD1DULL) % m;
    }

    // The remainder by a divisor fixed in advance, as a few multiplications instead of a
    // division, and exactly equal to it for every 64-bit value (D. Lemire, O. Kaser and
    // N. Kurz, "Faster remainder by direct computation", 2019). The matcher draws below
    // the same few bounds millions of times per pass.
    class Divisor {
    public:
        Divisor() = default;
        explicit Divisor(uint64_t d) : m_(~Wide{0} / d + 1), d_(d) {}
        uint64_t remainder(uint64_t a) const {
            const Wide low = m_ * a;
            const Wide bottom = ((low & ~uint64_t{0}) * d_) >> 64;
            const Wide top = (low >> 64) * d_;
            return static_cast<uint64_t>((bottom + top) >> 64);
        }

    private:
        __extension__ using Wide = unsigned __int128;
        Wide m_ = 0;
        uint64_t d_ = 1;
    };

    // The same draw as below(d) for the divisor's d.
    uint64_t below(const Divisor& d) {
        step();
        return d.remainder(s * 0x2545F4914F6CDD1DULL);
    }

    // The state after n further steps, found in at most 64 small matrix products instead of
    // n steps. A step only shifts and exclusive-ors bits, so it is a linear map on the 64
    // state bits, and 2^k steps are the k-th square of its matrix.
    static uint64_t advance(uint64_t state, uint64_t n) {
        const Powers& powers = Powers::instance();
        for (int k = 0; n != 0; ++k, n >>= 1)
            if (n & 1)
                state = apply(powers.m[static_cast<size_t>(k)], state);
        return state;
    }

private:
    using Matrix = std::array<uint64_t, 64>; // column i: the image of state bit i

    static uint64_t apply(const Matrix& m, uint64_t v) {
        uint64_t r = 0;
        for (; v != 0; v &= v - 1)
            r ^= m[static_cast<size_t>(std::countr_zero(v))];
        return r;
    }

    struct Powers {
        std::array<Matrix, 64> m; // m[k]: 2^k steps

        Powers() {
            for (size_t i = 0; i < 64; ++i) {
                XorShift g{uint64_t{1} << i};
                g.step();
                m[0][i] = g.s;
            }
            for (size_t k = 1; k < 64; ++k)
                for (size_t i = 0; i < 64; ++i)
                    m[k][i] = apply(m[k - 1], m[k - 1][i]);
        }
        static const Powers& instance() {
            static const Powers powers;
            return powers;
        }
    };
};
