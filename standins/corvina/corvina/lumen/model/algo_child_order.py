"""Stand-in for the engine's AlgoChildOrder."""
from corvina.lumen.model.algo import AlgoModel


class AlgoChildOrder(AlgoModel):
    pass
