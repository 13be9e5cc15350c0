"""What the Python benchmarks share: the CPU their figures were measured on."""
import platform


def cpu_name():
    """The model name with its family and model numbers (cloud machines often
    name every generation alike)."""
    fields = {}
    with open("/proc/cpuinfo") as info:
        for line in info:
            if not line.strip():
                break
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    name = fields.get("model name")
    if not name:
        return platform.processor() or "unknown CPU"
    if "cpu family" in fields and "model" in fields:
        return f"{name} (family {fields['cpu family']} model {fields['model']})"
    return name
