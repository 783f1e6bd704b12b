"""The portable kernels (forced by TWIRLKIT_PORTABLE_KERNELS=1) give what the
kernels this CPU picks give, bit for bit: each process digests the outputs of
the dispatched kernels on the same fixed batches, some large enough to be
written with streaming stores, and the digests must agree."""

import json
import os
import subprocess
import sys
import textwrap

DIGESTS = textwrap.dedent(
    r"""
    import hashlib, json
    import numpy as np
    from twirlkit import CubeBatch

    def digest(value):
        return hashlib.sha256(np.ascontiguousarray(value).tobytes()).hexdigest()

    out = {}
    rng = np.random.default_rng(20260)
    for size, n in ((2, 1000), (3, 1000), (3, 9000)):
        batch = CubeBatch(n, size)
        for _ in range(25):  # the grouped turns
            batch.apply_move_indexes(rng.integers(0, 14, n).astype(np.uintp))
        key = f"{size}x{size}/{n}"
        packed = batch.to_packed()
        out[key + " packed"] = digest(packed)
        out[key + " next states"] = digest(batch.get_next_states())
        out[key + " stickers"] = digest(batch.to_sticker_array())
        out[key + " successor codes int8"] = digest(batch.stickers(successors=True, dtype=np.int8))
        out[key + " successor codes int64"] = digest(batch.stickers(successors=True))
        out[key + " successor one-hot"] = digest(batch.stickers(successors=True, one_hot=True))
        out[key + " one-hot float16"] = digest(batch.stickers(one_hot=True, dtype=np.float16))
        out[key + " expand"] = digest(batch.expand().to_packed())
        out[key + " solved"] = digest(batch.is_solved())
        stickers = batch.to_sticker_array()
        out[key + " from stickers"] = digest(CubeBatch.from_stickers(stickers, size).to_packed())
        out[key + " from packed"] = digest(CubeBatch.from_packed(packed, size).to_packed())
        # A bad row among good ones: the checks of four cubes at once must
        # name the same first row and reason.
        bad = packed.copy()
        bad[n // 3, 0] ^= np.uint64(1 << 3)  # one corner twisted
        bad[n // 2, -1] ^= np.uint64(1 << 4)
        try:
            CubeBatch.from_packed(bad, size)
            out[key + " bad words"] = "accepted"
        except ValueError as error:
            out[key + " bad words"] = str(error)
        stickers[n // 4, 0] = (stickers[n // 4, 0] + 1) % 6
        try:
            CubeBatch.from_stickers(stickers, size)
            out[key + " bad stickers"] = "accepted"
        except ValueError as error:
            out[key + " bad stickers"] = str(error)
    print(json.dumps(out))
    """
)


def digests(portable):
    env = dict(os.environ)
    env.pop("TWIRLKIT_PORTABLE_KERNELS", None)
    if portable:
        env["TWIRLKIT_PORTABLE_KERNELS"] = "1"
    result = subprocess.run([sys.executable, "-c", DIGESTS], env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_portable_kernels_give_the_same_outputs():
    chosen = digests(portable=False)
    portable = digests(portable=True)
    assert portable == chosen
    assert "accepted" not in chosen.values()  # the bad rows were caught
