# A property setter that calls its observers: the twin of react_set.kel.
class Reactor:
    def __init__(self):
        self._a = 0
        self.b = 0
        self.observers = []

    @property
    def a(self):
        return self._a

    @a.setter
    def a(self, value):
        self._a = value
        for observer in self.observers:
            observer(self)


def reaction(r):
    r.b = r.a * 2


r = Reactor()
r.observers.append(reaction)
for i in range(1, 100001):
    r.a = i
print(r.b)
