import os

# Haystack reports pipeline runs to its telemetry service unless told not to.
os.environ["HAYSTACK_TELEMETRY_ENABLED"] = "False"
