"""Stand-in for the trading engine `corvina.lumen`: just what the compiled bridge calls."""
import builtins as _builtins

from corvina.lumen.utils.logger import user_system_log as _user_system_log

# The bridge writes its one warning to `user_system_log` without importing it:
# the engine makes the name available to every module through the builtins.
if not hasattr(_builtins, "user_system_log"):
    _builtins.user_system_log = _user_system_log
