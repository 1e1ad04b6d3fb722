"""The demo job (`python -m corvid demo`): a simulated study on a region with a lake, fitted
without the engine, then stations in longitude and latitude in a projection."""

from .run import LAKE, OUTPUTS, STUDY_REGION, DemoSettings, _points_in_region, memory_needed, run

__all__ = ["DemoSettings", "OUTPUTS", "memory_needed", "run", "STUDY_REGION", "LAKE",
           "_points_in_region"]
