// What the Node benchmarks share with each other and with Report.h: one
// line per figure with its goal and whether it was met, percentiles, and
// the exit status that says whether every goal was.
let allMet = true;

export function report(figure, value, goal, met) {
  console.log(`${figure.padEnd(58)} ${value.padEnd(30)} goal ${goal.padEnd(12)} ${met ? 'met' : 'missed'}`);
  allMet &&= met;
}

export function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.round(p * (sorted.length - 1)))];
}

// 0 only when every goal was met.
export function exitStatus() {
  return allMet ? 0 : 1;
}
