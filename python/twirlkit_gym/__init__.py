"""gymnasium environments of the twirlkit cubes.

Importing this module registers "twirlkit/Cube3x3-v0" and "twirlkit/Cube2x2-v0"
(gymnasium.make("twirlkit_gym:twirlkit/Cube3x3-v0") imports it on demand).
Both have a vector entry point: gymnasium.make_vec(id, num_envs=n,
vectorization_mode="vector_entry_point") returns a CubeVectorEnv.
Needs gymnasium 1.1 or later (its AutoresetMode): pip install ".[gym]" from a clone.
"""

import gymnasium

from .env import CubeEnv
from .vector import CubeVectorEnv

__all__ = ["CubeEnv", "CubeVectorEnv"]

ENV_IDS = {"twirlkit/Cube3x3-v0": 3, "twirlkit/Cube2x2-v0": 2}

for _id, _cube_type in ENV_IDS.items():
    # A second import (importlib.reload) finds its ids already there.
    if _id not in gymnasium.registry:
        gymnasium.register(id=_id, entry_point="twirlkit_gym.env:CubeEnv",
                           vector_entry_point="twirlkit_gym.vector:CubeVectorEnv",
                           kwargs={"cube_type": _cube_type})
