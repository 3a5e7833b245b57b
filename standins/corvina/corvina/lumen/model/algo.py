"""Stand-in for the engine's algorithmic-order models: each copies the gateway
message's public attributes and counts the updates it has seen."""


class AlgoModel:
    def __init__(self, **fields):
        self.__dict__.update(fields)

    @classmethod
    def from_vela(cls, message, previous):
        names = getattr(type(message), "__slots__", None) or [n for n in vars(message) if not n.startswith("_")]
        obj = cls(**{n: getattr(message, n) for n in names if hasattr(message, n)})
        obj.updates = previous.updates + 1 if previous is not None else 1
        return obj

    def __repr__(self):
        return f"{type(self).__name__}({self.__dict__!r})"
