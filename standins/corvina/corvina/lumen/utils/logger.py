"""Stand-in for the engine's loggers."""
import logging

system_log = logging.getLogger("corvina.system")
user_system_log = logging.getLogger("corvina.user")
