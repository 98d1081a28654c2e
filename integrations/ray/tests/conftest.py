import pytest


def start_ray():
    import ray

    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=256 * 2**20, log_to_driver=False)


@pytest.fixture(scope="session")
def ray_session():
    """One small local Ray instance for the whole run: starting Ray takes seconds."""
    import ray

    start_ray()
    yield ray
    ray.shutdown()
