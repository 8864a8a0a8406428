"""A pure-Python PUCT search with the same rules as varnok.MCTS, over
ChessEnv.save_state / restore_state, for checking the native search.

The rules, shared with search/mcts_tree.cpp: a round makes k descents; a
descent walks down expanded nodes choosing argmax Q + c * P * sqrt(N) /
(1 + N(a)) (first maximum in action order), N and Q counting each waiting
descent as `virtual_loss` lost visits; it ends at a new node (judged: a
finished game is backed up at once, any other becomes a leaf with virtual
loss on its path), a known finished game (backed up), or a leaf already taken
this round (a collision: virtual loss on its path until the round's descents
end). Values are for the side to move and change sign at every level. The
arithmetic is written in the native order so both give the same floats.
"""

import math
import sys

import numpy as np
import varnok

NEW, PENDING, EXPANDED, TERMINAL = range(4)
LOWEST_SCORE = -1e9  # mctx's floor for a considered action's score
SMALLEST_SPREAD = 1e-8


def considered_visits_table(considered, simulations):
    """mctx's get_table_of_considered_visits: the visit count sequential
    halving aims root simulation i at, for m = 0..considered actions."""
    table = []
    for m in range(considered + 1):
        if m <= 1:
            table.append(list(range(simulations)))
            continue
        log2_m = math.ceil(math.log2(m))
        sequence, visits, now = [], [0] * m, m
        while len(sequence) < simulations:
            for _ in range(max(1, simulations // (log2_m * now))):
                sequence.extend(visits[:now])
                for i in range(now):
                    visits[i] += 1
            now = max(2, now // 2)
        table.append(sequence[:simulations])
    return table


class Node:
    __slots__ = ("action", "value_sum", "visits", "in_flight", "prior", "value", "children", "state")

    def __init__(self, action=-1):
        self.action = action
        self.value_sum = 0.0
        self.visits = 0
        self.in_flight = 0
        self.prior = 0.0
        self.value = 0.0
        self.children = []
        self.state = NEW


class Tree:
    def __init__(self, root_state, c_puct=1.25, c_base=None, c_init=1.25, fpu_reduction=0.0, fpu_value=None,
                 virtual_loss=1.0, dirichlet_fraction=0.25, root_selection="puct", gumbel_considered=16,
                 gumbel_simulations=64, gumbel_c_visit=50.0, gumbel_c_scale=0.1, obs_dtype="float32"):
        self.env = varnok.ChessEnv()
        self.obs_dtype = obs_dtype
        self.root_state = root_state
        self.root = Node()
        self.root_priors = None
        self.c_puct, self.c_base, self.c_init = c_puct, c_base, c_init
        self.fpu_reduction, self.fpu_value = fpu_reduction, fpu_value
        self.virtual_loss, self.fraction = virtual_loss, dirichlet_fraction
        self.leaves = []
        self.gumbel = root_selection == "gumbel"
        self.considered, self.simulations = gumbel_considered, gumbel_simulations
        self.c_visit, self.c_scale = gumbel_c_visit, gumbel_c_scale
        self.table = considered_visits_table(gumbel_considered, gumbel_simulations)
        self.noise, self.halving, self.started = [], [], 0

    def replay(self, path):
        self.env.restore_state(self.root_state)
        result = None
        for node in path[1:]:
            result = self.env.play(node.action)
        return result

    def sigma_q(self):
        """sigma(completed Q) of the root's children (mctx's qtransform_completed_by_mix_value)."""
        root, tiny = self.root, sys.float_info.min
        sum_visits = sum_probs = max_visits = 0.0
        for c in root.children:
            sum_visits += c.visits
            max_visits = max(max_visits, c.visits)
            if c.visits > 0:
                sum_probs += max(tiny, c.prior)
        weighted_q = 0.0
        for c in root.children:
            if c.visits > 0:
                weighted_q += max(tiny, c.prior) * (c.value_sum / c.visits) / sum_probs
        mixed = (root.value + sum_visits * weighted_q) / (sum_visits + 1)
        q = [c.value_sum / c.visits if c.visits > 0 else mixed for c in root.children]
        low, high = min(q), max(q)
        scale = (self.c_visit + max_visits) * self.c_scale
        return [scale * ((x - low) / max(high - low, SMALLEST_SPREAD)) for x in q]

    def halving_winner(self, target):
        sigma = self.sigma_q()
        max_logit = max(math.log(c.prior) for c in self.root.children)
        best, best_score = None, -math.inf
        for i, c in enumerate(self.root.children):
            if self.halving[i] != target:
                continue
            score = max(LOWEST_SCORE, self.noise[i] + (math.log(c.prior) - max_logit) + sigma[i])
            if score > best_score:
                best, best_score = i, score
        return best

    def pick_root_gumbel(self):
        if self.started >= self.simulations:
            return None
        considered = min(self.considered, len(self.root.children))
        best = self.halving_winner(self.table[considered][self.started])
        self.halving[best] += 1
        self.started += 1
        return self.root.children[best]

    def chosen_action(self):
        """Gumbel: the winner among the actions given the most root simulations."""
        return self.root.children[self.halving_winner(max(self.halving))].action

    def policy(self):
        """Gumbel: softmax(log prior + sigma(completed Q)) over the legal actions."""
        z = [math.log(c.prior) + s for c, s in zip(self.root.children, self.sigma_q())]
        high = max(z)
        e = [math.exp(x - high) for x in z]
        out = np.zeros(4672)
        for c, x in zip(self.root.children, e):
            out[c.action] = x / math.fsum(e)
        return out

    def pick(self, node):
        if node is self.root and self.gumbel:
            return self.pick_root_gumbel()
        vl = self.virtual_loss
        parent_visits = node.visits + node.in_flight * vl
        if self.c_base:
            c = math.log((1 + parent_visits + self.c_base) / self.c_base) + self.c_init
        else:
            c = self.c_puct
        sqrt_visits = math.sqrt(parent_visits)
        parent_q = -node.value_sum / node.visits if node.visits > 0 else 0
        unvisited_q = self.fpu_value if self.fpu_value is not None else parent_q - self.fpu_reduction
        best, best_score = None, -math.inf
        for i, child in enumerate(node.children):
            visits = child.visits + child.in_flight * vl
            q = (child.value_sum - child.in_flight * vl) / visits if visits > 0 else unvisited_q
            prior = self.root_priors[i] if node is self.root and self.root_priors is not None else child.prior
            score = q + c * prior * sqrt_visits / (1 + visits)
            if score > best_score:
                best, best_score = child, score
        return best

    @staticmethod
    def back_up(path, value, in_flight):
        for_mover = -value
        for node in reversed(path):
            node.visits += 1
            node.value_sum += for_mover
            if in_flight:
                node.in_flight -= 1
            for_mover = -for_mover

    def select(self, k):
        """The new leaves of one round: (path, observation, legal mask) each."""
        self.leaves, collided = [], []
        if self.root.state == TERMINAL:
            return []
        for _ in range(k):
            path, node = [self.root], self.root
            while node.state == EXPANDED:
                node = self.pick(node)
                if node is None:
                    break
                path.append(node)
            if node is None:  # Gumbel's plan for the root is used up
                break
            if node.state == TERMINAL:
                self.back_up(path, node.value, False)
            elif node.state == PENDING:
                for n in path:
                    n.in_flight += 1
                    collided.append(n)
            else:
                result = self.replay(path)
                if result is not None and result[2]:
                    side, reward, _ = result
                    node.state, node.value = TERMINAL, float(reward if side == 0 else -reward)
                    self.back_up(path, node.value, False)
                    continue
                node.children = [Node(int(a)) for a in self.env.legal_actions()]
                node.state = PENDING
                for n in path:
                    n.in_flight += 1
                self.leaves.append((path, self.env.observation(self.obs_dtype), self.env.legal_mask()))
        for n in collided:
            n.in_flight -= 1
        return self.leaves

    def expand(self, priors, values, noise_of_root):
        """priors/values: one row per leaf of the round; noise_of_root() gives the root's noise (4672,)."""
        for (path, _, _), row, value in zip(self.leaves, priors, values):
            node = path[-1]
            xs = [float(row[c.action]) for c in node.children]
            total = 0.0
            for x in xs:
                total += x  # in order: sum() of floats compensates, the native loop does not
            for child, x in zip(node.children, xs):
                child.prior = float(np.float32(x / total))  # divided in doubles, kept as a float
            node.value, node.state = float(value), EXPANDED
            self.back_up(path, float(value), True)
            if node is self.root:
                self.prepare_root(noise_of_root())
        self.leaves = []

    def prepare_root(self, noise):
        if self.gumbel:
            self.noise = [float(noise[c.action]) for c in self.root.children]
            self.halving, self.started = [0] * len(self.root.children), 0
            return
        f = self.fraction
        self.root_priors = [(1 - f) * c.prior + f * float(noise[c.action]) for c in self.root.children]

    def advance(self, action, noise_of_root):
        child = next(c for c in self.root.children if c.action == action)
        self.env.restore_state(self.root_state)
        side, reward, done = self.env.play(action)
        self.root_state = self.env.save_state()
        self.root, self.root_priors = child, None
        self.noise, self.halving, self.started = [], [], 0
        if done:
            child.state, child.value = TERMINAL, float(reward if side == 0 else -reward)
        elif child.state == EXPANDED:
            self.prepare_root(noise_of_root())

    def visit_counts(self):
        counts = np.zeros(4672, np.int32)
        for c in self.root.children:
            counts[c.action] = c.visits
        return counts
