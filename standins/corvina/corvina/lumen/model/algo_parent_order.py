"""Stand-in for the engine's AlgoParentOrder."""
from corvina.lumen.model.algo import AlgoModel


class AlgoParentOrder(AlgoModel):
    pass
